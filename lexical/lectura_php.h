// A source's tokens as lexico_php reads them, kept while PHP's rules read the
// source to compact it, so that the check of their bytes lexes the source no
// second time.
#ifndef KEXO_LEXICAL_LECTURA_PHP_H_
#define KEXO_LEXICAL_LECTURA_PHP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "lexical/escaner_php.h"
#include "lexical/lexico_php.h"

namespace kexo {

// The tokens of one source, the end's (clase_pieza::fin) last. Past
// kMaximoPiezas tokens, the scanner as it stood after the last one kept
// (`resto`), to read the others again; for a source of 4 GiB or more, nothing
// (!completa), and the check lexes the source again.
struct lectura_php {
    // 16 bytes a token: at most 4 MiB held per source.
    static constexpr std::size_t kMaximoPiezas = std::size_t{1} << 18;

    // The bound on the tokens kept, at least 1; tests lower it.
    std::size_t maximo = kMaximoPiezas;
    std::vector<pieza_guardada> piezas;
    std::optional<escaner_php> resto;
    bool completa = false;
};

// compara_php(original, compactado, modo, desfase), the same verdict, with
// the original's tokens taken from `lectura`, the reading of `original`; by
// compara_php itself when that reading is not complete.
comparacion compara_php(std::string_view original, const lectura_php& lectura,
                        std::string_view compactado,
                        modo_comparacion modo = modo_comparacion::programa,
                        std::int64_t desfase = 0);

}  // namespace kexo

#endif  // KEXO_LEXICAL_LECTURA_PHP_H_
