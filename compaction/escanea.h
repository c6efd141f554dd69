// The scan: one forward pass over the source bytes that drops `//` comments
// outside quoted literals and joins CR LF lines. The source may come in
// pieces of any size; the scan state carries over from one piece to the next.
#ifndef KEXO_COMPACTION_ESCANEA_H_
#define KEXO_COMPACTION_ESCANEA_H_

#include <string_view>

namespace kexo {

// How the scan goes over the source. All write the same bytes.
enum class ruta_escaneo : unsigned char {
    por_paradas,     // from stop to stop, 16 bytes at a time (SSE2), on any processor
    bloques_avx2,    // 64 bytes at a time with no branch per stop: AVX2
    bloques_avx512,  // the same with AVX-512 VBMI2
};

// True when this processor runs `ruta`.
bool admite(ruta_escaneo ruta);

// The fastest way this processor runs.
ruta_escaneo ruta_de_este_procesador();

// The way named `nombre` ("paradas", "avx2" or "avx512"), set in `ruta`.
// False, with `ruta` as it was, for any other name.
bool ruta_por_nombre(std::string_view nombre, ruta_escaneo& ruta);

// The name of `ruta`, as ruta_por_nombre reads it.
const char* nombre_de(ruta_escaneo ruta);

class escaner {
   public:
    // REQUIRES: admite(ruta).
    explicit escaner(ruta_escaneo ruta = ruta_de_este_procesador()) : ruta_(ruta) {}

    // Scans the next piece of the source and writes its compacted bytes at
    // `salida`. Returns the end of what was written.
    // REQUIRES: `salida` has room for trozo.size() + 1 bytes.
    char* escanea(std::string_view trozo, char* salida);

    // Ends the source: settles what the last piece left undecided.
    // REQUIRES: `salida` has room for 1 byte.
    char* cierra_fuente(char* salida);

   private:
    friend struct recorrido_escaneo;
    friend struct bloques_escaneo;

    // The stop-to-stop scan of `trozo`.
    char* escanea_por_paradas(std::string_view trozo, char* salida);

    // What the end of a piece left undecided.
    enum class pendiente : unsigned char {
        nada,
        barra,       // a `/` outside literals: the next byte tells whether a comment starts
        comentario,  // inside a `//` comment, dropping bytes up to a CR or LF
        cr,          // a CR: the next byte tells a line break from a lone CR
        sangria,     // after a line break, dropping the next line's leading spaces
    };

    ruta_escaneo ruta_;
    char comilla_ = '\0';  // the quote that opened the current literal; 0 outside one
    char previo_ = '\0';   // the source byte before the next one to scan
    pendiente espera_ = pendiente::nada;
};

}  // namespace kexo

#endif  // KEXO_COMPACTION_ESCANEA_H_
