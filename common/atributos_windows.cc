// What a file is on Windows, and a copy given its original's times: no
// owners, permission bits or records are kept here.
#include <sys/stat.h>
#include <sys/utime.h>

#include <cerrno>
#include <string>

#include "common/atributos.h"
#include "common/carpeta.h"

namespace kexo {

int lee_atributos(int fd, atributos_origen& vistos) {
    struct _stat64 estado;
    if (_fstat64(fd, &estado) != 0) {
        return errno;
    }
    vistos = atributos_origen{};
    vistos.tamano = estado.st_size;
    vistos.acceso_s = estado.st_atime;
    vistos.cambio_s = estado.st_mtime;
    return 0;
}

int hace_ejecutable(int) {
    return 0;
}

int conserva_dueno_y_permisos(int, std::int64_t, std::int64_t, std::uint32_t) {
    return 0;  // no owners or permission bits to keep
}

int copia_atributos_carpeta(const carpeta&, const carpeta&) {
    return 0;  // no permission bits, owners or folder times kept here
}

bool atributos_iguales(const nodo&, const nodo&) {
    return true;  // none kept
}

int deja_escribir_en(const carpeta&) {
    return 0;  // a folder's read-only attribute does not keep files from being made in it
}

int copia_atributos(int fd, const atributos_origen& de, nodo* queda) {
    // The times only: a read-only file could not be moved into place.
    struct __utimbuf64 tiempos = {de.acceso_s, de.cambio_s};
    if (_futime64(fd, &tiempos) != 0) {
        return errno;
    }
    return queda != nullptr ? nodo_de_descriptor(fd, *queda) : 0;
}

int copia_atributos_enlace(const carpeta&, const std::string&, const carpeta&, const char*) {
    return 0;  // a link's owner and times are not kept here
}

int lee_marca_en(const carpeta& c, const std::string& nombre, nodo& visto, std::string& marca) {
    marca.clear();
    const int error = examina_en(c, nombre, visto);
    // No records here: every file is written again.
    return error != 0 ? error : ENOTSUP;
}

int nodo_de_descriptor(int fd, nodo& visto) {
    struct _stat64 estado;
    if (_fstat64(fd, &estado) != 0) {
        return errno;
    }
    visto = nodo{};
    visto.clase = (estado.st_mode & _S_IFREG) != 0 ? clase_nodo::fichero : clase_nodo::otro;
    visto.tamano = estado.st_size;
    return 0;
}

int pon_marca(int, const std::string&) {
    return ENOTSUP;
}

}  // namespace kexo
