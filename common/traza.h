// Diagnostic traces on standard output, printed only when the trace level is 2
// or more. The level is chosen when the program is linked: with one of
// traza_nivel_0.cc and traza_nivel_2.cc. With link-time optimization the traces
// of a level-0 program compile away.
#ifndef KEXO_COMMON_TRAZA_H_
#define KEXO_COMMON_TRAZA_H_

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/bytes.h"

namespace kexo {

extern const int nivel_traza;

template <typename... Argumentos>
void traza(const char* formato, Argumentos... argumentos) {
    if (nivel_traza >= 2) {
        if constexpr (sizeof...(argumentos) == 0) {
            std::fputs(formato, stdout);  // a trace with no conversions
        } else {
            std::printf(formato, argumentos...);
        }
    }
}

// Traces index base + `indice` of a text whose bytes from index `base` on are
// `bytes`, with the bytes at it and at the two positions before it (0 outside
// `bytes`), as signed 8-bit values widened to int. The formats print the first
// two in hexadecimal and as characters and the third in hexadecimal only, so
// its character is not passed.
inline void traza_bytes(const char* formato, std::string_view bytes, std::int64_t base,
                        std::int64_t indice) {
    if (nivel_traza >= 2) {
        auto en = [bytes](std::int64_t i) {
            return static_cast<int>(static_cast<signed char>(byte_en(bytes, i)));
        };
        traza(formato, static_cast<int>(base + indice), static_cast<unsigned>(en(indice)),
              en(indice), static_cast<unsigned>(en(indice - 1)), en(indice - 1),
              static_cast<unsigned>(en(indice - 2)));
    }
}

}  // namespace kexo

#endif  // KEXO_COMMON_TRAZA_H_
