// Compaction of a PHP source: drops `//` comments outside quoted literals,
// joins CR LF lines, trims the end and sets a final `?>` on its own line.
// No I/O and no global state: bytes in, bytes out, whole or in pieces.
#ifndef KEXO_COMPACTION_COMPACTA_H_
#define KEXO_COMPACTION_COMPACTA_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "compaction/blancos.h"
#include "compaction/escanea.h"

namespace kexo {

// Receives the final bytes of the compacted text, in order: the only way out
// of the compaction.
using receptor = std::function<void(std::string_view bytes)>;

// A whole compacted text: `bytes` are the bytes to write, the emission filter
// applied; `ultimo` is the index of the text's last byte before that filter,
// -1 when there is nothing to write.
struct texto_compactado {
    std::string bytes;
    std::int64_t ultimo;
};

// Receives a finishing stage of the compaction: its trace format, the result
// bytes at that moment (those from index `base` on) and the index the stage
// reports, counted from `base`. Used for traces only.
using observador = void (*)(const char* formato, std::string_view bytes, std::int64_t base,
                            std::int64_t indice);

// The trim: the index of the last byte of `resultado` that is neither a space
// nor a 0 byte, or 0 when there is none (index 0 itself is never tested).
std::int64_t recorta(std::string_view resultado);

// True when the trimmed text, ending at index `ultimo`, ends in `?>`.
bool tiene_cierre_final(std::string_view resultado, std::int64_t ultimo);

// Puts the final `?>` ending at `ultimo` on a line of its own, preceded and
// followed by CR LF; returns the new last index. REQUIRES: tiene_cierre_final.
std::int64_t separa_cierre(std::string& resultado, std::int64_t ultimo);

// The whole compaction: scan, trim, closing tag and emission filter.
// `observa`, when given, sees each finishing stage; `via` chooses how the
// scan goes.
texto_compactado compacta_fuente(std::string_view fuente, observador observa = nullptr,
                                 via_escaneo via = via_de_este_procesador());

// The same compaction over a source that arrives in pieces. Only the end of
// the text that the finishing may still change is held back: the last byte
// that is neither a space nor a 0, the two bytes before it, and the spaces and
// 0 bytes after it, those in little memory however many they are.
class compactacion {
   public:
    explicit compactacion(via_escaneo via = via_de_este_procesador()) : escaner_(via) {}

    // Scans the next piece of the source, giving `recibe` the compacted bytes
    // that no later piece can change.
    void anade(std::string_view trozo, const receptor& recibe);

    // Ends the source and finishes the text, giving `recibe` the rest of its
    // bytes that the emission filter keeps. Returns the index of the text's
    // last byte before that filter, -1 when there is nothing to write.
    std::int64_t concluye(const receptor& recibe, observador observa = nullptr);

   private:
    // Gives `recibe` the bytes of cola_ that are now final, the new ones
    // starting at `nuevos`, and keeps the rest.
    void reparte(std::size_t nuevos, const receptor& recibe);

    // Moves the spaces and 0 bytes held in cola_, but its last few, to blancos_.
    void compacta_blancos();

    // Makes room for `bytes` more after the compacted bytes held.
    char* hace_sitio(std::size_t bytes);

    escaner escaner_;
    std::string cola_;        // room for the compacted bytes held
    std::size_t llenos_ = 0;  // bytes of cola_ in use
    std::int64_t base_ = 0;   // the index in the text of cola_'s first byte
    blancos blancos_;         // held spaces and 0 bytes, which follow the first
    std::size_t corte_ = 0;   // corte_ bytes of cola_ when there are any
};

// The emission filter over `texto`, a finished text up to and including its
// last byte: true when byte k is left out. Only the space between a `>` and
// the very last byte is.
bool es_byte_omitido(std::string_view texto, std::int64_t k);

// The bytes of `texto` to write, as at most two runs around the byte the
// filter leaves out.
std::array<std::string_view, 2> partes_emitidas(std::string_view texto);

}  // namespace kexo

#endif  // KEXO_COMPACTION_COMPACTA_H_
