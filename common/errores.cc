#include "common/errores.h"

#include <cerrno>
#include <cstring>

namespace kexo {

namespace {

struct texto_error {
    int numero;
    const char* texto;
};

// The numbers a file tree meets, each only where the system defines it: MinGW
// lacks some, and Windows' own errors reach here already mapped to these.
constexpr texto_error kTextos[] = {
    {EPERM, "Operacion no permitida"},
    {ENOENT, "No existe el fichero o el directorio"},
    {EINTR, "Llamada al sistema interrumpida"},
    {EIO, "Error de entrada/salida"},
    {ENXIO, "No existe el dispositivo o la direccion"},
    {EBADF, "Descriptor de fichero erroneo"},
    {EAGAIN, "Recurso no disponible temporalmente"},
    {ENOMEM, "No se pudo asignar memoria"},
    {EACCES, "Permiso denegado"},
    {EFAULT, "Direccion incorrecta"},
    {EBUSY, "Dispositivo o recurso ocupado"},
    {EEXIST, "El fichero ya existe"},
    {EXDEV, "Enlace cruzado entre dispositivos no permitido"},
    {ENODEV, "No existe el dispositivo"},
    {ENOTDIR, "No es un directorio"},
    {EISDIR, "Es un directorio"},
    {EINVAL, "Argumento invalido"},
    {ENFILE, "Demasiados ficheros abiertos en el sistema"},
    {EMFILE, "Demasiados ficheros abiertos"},
    {EFBIG, "Fichero demasiado grande"},
    {ENOSPC, "No queda espacio en el dispositivo"},
    {ESPIPE, "Desplazamiento ilegal"},
    {EROFS, "Sistema de ficheros de solo lectura"},
    {EMLINK, "Demasiados enlaces"},
    {EPIPE, "Tuberia rota"},
    {ENAMETOOLONG, "Nombre de fichero demasiado largo"},
    {ENOTEMPTY, "El directorio no esta vacio"},
    {ENOSYS, "Funcion no implementada"},
    {EILSEQ, "El caracter multibyte o extendido esta incompleto o es invalido"},
#ifdef ETXTBSY
    {ETXTBSY, "El fichero de texto esta ocupado"},
#endif
#ifdef ELOOP
    {ELOOP, "Demasiados niveles de enlaces simbolicos"},
#endif
#ifdef EOVERFLOW
    {EOVERFLOW, "Valor demasiado grande para el tipo de datos definido"},
#endif
#ifdef ESTALE
    {ESTALE, "`handle' de fichero en desuso"},
#endif
#ifdef EDQUOT
    {EDQUOT, "Se ha excedido la cuota de disco"},
#endif
#ifdef ENOTSUP
    {ENOTSUP, "La operacion no esta soportada"},
#endif
#ifdef EOPNOTSUPP
    {EOPNOTSUPP, "La operacion no esta soportada"},
#endif
#ifdef ECANCELED
    {ECANCELED, "Operacion cancelada"},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, "Expiro el tiempo de conexion"},
#endif
#ifdef ENOMEDIUM
    {ENOMEDIUM, "No se ha encontrado el medio"},
#endif
#ifdef EREMOTEIO
    {EREMOTEIO, "Error de E/S en la maquina remota"},
#endif
};

}  // namespace

std::string texto_de_error(int numero) {
    for (const texto_error& t : kTextos) {
        if (t.numero == numero) {
            return t.texto;
        }
    }
    const char* del_sistema = std::strerror(numero);
    return del_sistema != nullptr ? del_sistema : "Error desconocido";
}

std::string describe_error(int numero) {
    return texto_de_error(numero) + " (" + std::to_string(numero) + ")";
}

}  // namespace kexo
