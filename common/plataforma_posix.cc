#include <sys/stat.h>

#include "common/plataforma.h"

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
