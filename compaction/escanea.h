// The scan: one forward pass over the source bytes that drops `//` comments
// outside quoted literals and joins CR LF lines. The source may come in
// pieces of any size; the scan state carries over from one piece to the next.
#ifndef KEXO_COMPACTION_ESCANEA_H_
#define KEXO_COMPACTION_ESCANEA_H_

#include <string_view>

#include "compaction/vias.h"

namespace kexo {

// What the end of a piece left undecided.
enum class pendiente_escaneo : unsigned char {
    nada,
    barra,       // a `/` outside literals: the next byte tells whether a comment starts
    comentario,  // inside a `//` comment, dropping bytes up to a CR or LF
    cr,          // a CR: the next byte tells a line break from a lone CR
    sangria,     // after a line break, dropping the next line's leading spaces
};

// What the scan carries from one piece of the source to the next.
struct estado_escaneo {
    char comilla = '\0';  // the quote that opened the current literal; 0 outside one
    char previo = '\0';   // the source byte before the next one to scan
    pendiente_escaneo pendiente = pendiente_escaneo::nada;
};

class escaner {
   public:
    // REQUIRES: admite(via).
    explicit escaner(via_escaneo via = via_de_este_procesador()) : via_(via) {}

    // Scans the next piece of the source and writes its compacted bytes at
    // `salida`. Returns the end of what was written.
    // REQUIRES: `salida` has room for trozo.size() + 1 bytes.
    char* escanea(std::string_view trozo, char* salida);

    // Ends the source: settles what the last piece left undecided.
    // REQUIRES: `salida` has room for 1 byte.
    char* cierra_fuente(char* salida);

   private:
    via_escaneo via_;
    estado_escaneo estado_;
};

}  // namespace kexo

#endif  // KEXO_COMPACTION_ESCANEA_H_
