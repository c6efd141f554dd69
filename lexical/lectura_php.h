// A source's tokens as lexico_php reads them, kept while PHP's rules read the
// source to compact it, so that the check of their bytes lexes the source no
// second time.
#ifndef KEXO_LEXICAL_LECTURA_PHP_H_
#define KEXO_LEXICAL_LECTURA_PHP_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "lexical/escaner_php.h"
#include "lexical/lexico_php.h"

namespace kexo {

// std::allocator, but for the items a vector's resize makes, left unwritten
// where they are trivial: compacta_php writes every field of each token it
// keeps in place and grows the vector by blocks, so that zeros written first
// would be a second pass over the tokens' memory.
template <typename T>
struct sin_ceros : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = sin_ceros<U>;
    };
    sin_ceros() = default;
    template <typename U>
    sin_ceros(const sin_ceros<U>& /*otro*/) noexcept {}  // NOLINT: as std::allocator
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};

// The tokens of one source, the end's (clase_pieza::fin) last. Past
// kMaximoPiezas tokens, the scanner as it stood after the last one kept
// (`resto`), to read the others again; for a source of 4 GiB or more, or one
// that is mostly long runs written as they were (a table), nothing
// (!completa), and the check lexes the source again.
struct lectura_php {
    // 16 bytes a token: at most 4 MiB held per source.
    static constexpr std::size_t kMaximoPiezas = std::size_t{1} << 18;

    // The bound on the tokens kept, at least 1; tests lower it.
    std::size_t maximo = kMaximoPiezas;
    // How many tokens in a row, written as they were, mark a table, whose
    // tokens are not kept; tests lower and raise it.
    std::size_t tramo_de_tabla = std::size_t{1} << 12;
    std::vector<pieza_guardada, sin_ceros<pieza_guardada>> piezas;
    std::optional<escaner_php> resto;
    bool completa = false;

    // How many of the source's `unidades` tokens (a string's parts count as
    // one) lie in blocks of 64 from which PHP's rules took no byte out: runs
    // written as they were, gaps included. Where they are most of the
    // source, the check reads them once, not token by token.
    std::size_t unidades = 0;
    std::size_t en_tramos_largos = 0;
};

// compara_php(original, compactado, modo, desfase), the same verdict, with
// the original's tokens taken from `lectura`, the reading of `original`; by
// compara_php itself when that reading is not complete, or when half the
// source's tokens or more lie in blocks the rules left as they were.
comparacion compara_php(std::string_view original, const lectura_php& lectura,
                        std::string_view compactado,
                        modo_comparacion modo = modo_comparacion::programa,
                        std::int64_t desfase = 0);

}  // namespace kexo

#endif  // KEXO_LEXICAL_LECTURA_PHP_H_
