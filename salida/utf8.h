// Whether a name is UTF-8, which the archives tell their readers.
#ifndef KEXO_SALIDA_UTF8_H_
#define KEXO_SALIDA_UTF8_H_

#include <cstddef>
#include <string_view>

namespace kexo {

// True when `s` is well-formed UTF-8: no overlong form, no surrogate, nothing
// past U+10FFFF.
inline bool utf8_valido(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t siguen = 0;
        unsigned minimo = 0;
        unsigned punto = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            siguen = 1;
            minimo = 0x80;
            punto = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            siguen = 2;
            minimo = 0x800;
            punto = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            siguen = 3;
            minimo = 0x10000;
            punto = b & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i - 1 < siguen) {
            return false;
        }
        for (std::size_t k = 1; k <= siguen; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) {
                return false;
            }
            punto = (punto << 6) | (c & 0x3Fu);
        }
        if (punto < minimo || punto > 0x10FFFF || (punto >= 0xD800 && punto <= 0xDFFF)) {
            return false;
        }
        i += siguen + 1;
    }
    return true;
}

}  // namespace kexo

#endif  // KEXO_SALIDA_UTF8_H_
