// The system's errors as the messages name them: Spanish whatever the locale,
// the C library's own text for a number the table lacks.
#include "common/errores.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kexo {

namespace {

// The texts a deploy meets most, as the messages give them.
TEST(Errores, TextosEnEspanol) {
    const struct {
        int numero;
        const char* texto;
    } casos[] = {
        {EACCES, "Permiso denegado"},
        {ENOENT, "No existe el fichero o el directorio"},
        {ENOSPC, "No queda espacio en el dispositivo"},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.texto, texto_de_error(c.numero)) << c.numero;
        EXPECT_EQ(std::string(c.texto) + " (" + std::to_string(c.numero) + ")",
                  describe_error(c.numero));
    }
}

// Every text is plain ASCII, as the tools' other messages, so that it reads
// the same on any console.
TEST(Errores, SoloAscii) {
    for (int numero = 1; numero < 200; ++numero) {
        for (const char c : texto_de_error(numero)) {
            EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << numero;
        }
    }
}

TEST(Errores, SinTraduccionElDelSistema) {
    EXPECT_EQ(std::strerror(EDOM), texto_de_error(EDOM));
    EXPECT_EQ(std::string(std::strerror(9999)) + " (9999)", describe_error(9999));
}

}  // namespace

}  // namespace kexo
