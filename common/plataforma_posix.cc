#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/plataforma.h"

namespace kexo {

namespace {

bool estado_de(std::FILE* archivo, struct stat& estado) {
    return fstat(fileno(archivo), &estado) == 0;
}

}  // namespace

bool es_directorio(std::FILE* origen) {
    struct stat estado;
    return estado_de(origen, estado) && S_ISDIR(estado.st_mode);
}

std::int64_t tamano_de(std::FILE* origen) {
    struct stat estado;
    return estado_de(origen, estado) && S_ISREG(estado.st_mode) ? estado.st_size : -1;
}

bool mismo_fichero(std::FILE* origen, const char* ruta) {
    struct stat de_origen;
    struct stat de_ruta;
    return estado_de(origen, de_origen) && stat(ruta, &de_ruta) == 0 &&
           de_origen.st_dev == de_ruta.st_dev && de_origen.st_ino == de_ruta.st_ino;
}

extern const char kSeparadorRuta = '/';
extern const bool kHayModoTexto = false;

long numero_de_proceso() {
    return static_cast<long>(getpid());
}

int descriptor_de(std::FILE* flujo) {
    return fileno(flujo);
}

archivo abre_descriptor(int fd, const char* modo) {
    archivo abierto(fdopen(fd, modo));
    if (!abierto) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return abierto;
}

archivo abre_si_regular(const char* ruta, const char* modo) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer.
    const int fd = open(ruta, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat estado;
    if (fstat(fd, &estado) != 0 || !S_ISREG(estado.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    archivo abierto(fdopen(fd, modo));
    if (!abierto) {
        close(fd);
    }
    return abierto;
}

}  // namespace kexo
