// The system's errors as the messages name them: Spanish whatever the locale,
// the C library's own text for a number the table lacks.
#include "common/errores.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kexo {

namespace {

TEST(Errores, TextosEnEspanol) {
    const struct {
        int numero;
        const char* texto;
    } casos[] = {
        {EACCES, "Permiso denegado"},
        {EPERM, "Operacion no permitida"},
        {ENOENT, "No existe el fichero o el directorio"},
        {ENOTDIR, "No es un directorio"},
        {EISDIR, "Es un directorio"},
        {EEXIST, "El fichero ya existe"},
        {ENOSPC, "No queda espacio en el dispositivo"},
        {EROFS, "Sistema de ficheros de solo lectura"},
        {EIO, "Error de entrada/salida"},
        {ELOOP, "Demasiados niveles de enlaces simbolicos"},
        {ENAMETOOLONG, "Nombre de fichero demasiado largo"},
        {EMFILE, "Demasiados ficheros abiertos"},
        {ENFILE, "Demasiados ficheros abiertos en el sistema"},
        {ENOMEM, "No se pudo asignar memoria"},
        {EBUSY, "Dispositivo o recurso ocupado"},
        {EXDEV, "Enlace cruzado entre dispositivos no permitido"},
        {EINVAL, "Argumento invalido"},
        {ENOTEMPTY, "El directorio no esta vacio"},
        {EFBIG, "Fichero demasiado grande"},
#ifdef ETXTBSY
        {ETXTBSY, "El fichero de texto esta ocupado"},
#endif
#ifdef EDQUOT
        {EDQUOT, "Se ha excedido la cuota de disco"},
#endif
#ifdef EOVERFLOW
        {EOVERFLOW, "Valor demasiado grande para el tipo de datos definido"},
#endif
#ifdef ESTALE
        {ESTALE, "`handle' de fichero en desuso"},
#endif
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
