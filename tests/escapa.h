// Shows bytes in the \r \n \t \0 \xNN notation, so that a failing case reads
// like the examples it was written from.
#ifndef KEXO_TESTS_ESCAPA_H_
#define KEXO_TESTS_ESCAPA_H_

#include <cstdio>
#include <string>
#include <string_view>

namespace kexo {

inline std::string escapa(std::string_view bytes) {
    std::string salida = "«";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            salida += "\\r";
        } else if (c == '\n') {
            salida += "\\n";
        } else if (c == '\t') {
            salida += "\\t";
        } else if (c == '\0') {
            salida += "\\0";
        } else if (c == '\\') {
            salida += "\\\\";
        } else if (u < 0x20 || u >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            salida += hex;
        } else {
            salida += c;
        }
    }
    return salida + "»";
}

}  // namespace kexo

#endif  // KEXO_TESTS_ESCAPA_H_
