#include "salida/lectura.h"

#include <algorithm>
#include <cerrno>

#include "common/ficheros.h"

namespace kexo {

std::size_t bloque_para(std::int64_t tamano) {
    if (tamano < 0 || static_cast<std::uint64_t>(tamano) >= kBloqueLectura) {
        return kBloqueLectura;
    }
    return static_cast<std::size_t>(tamano) + 1;
}

std::size_t lee_bloque(std::FILE* origen, char* donde, std::size_t n, int& error) {
    errno = 0;
    const std::size_t leidos = std::fread(donde, 1, n, origen);
    if (std::ferror(origen)) {
        error = errno != 0 ? errno : EIO;
    }
    return leidos;
}

archivo abre_origen(const char* ruta) {
    // Each read asks for a block or the whole file.
    archivo origen(sin_buffer(std::fopen(ruta, "rb")));
    if (origen && es_directorio(origen.get())) {
        origen.reset();
        errno = EISDIR;
    }
    return origen;
}

int lee_inicio_para_aviso(std::FILE* origen, std::string_view scopy, std::string& inicio) {
    inicio.clear();
    if (scopy.empty()) {
        return 0;
    }
    int error = 0;
    inicio.resize(kInicioParaElAviso);
    inicio.resize(lee_bloque(origen, inicio.data(), inicio.size(), error));
    return error;
}

int lee_entero(std::FILE* origen, std::string& bytes, std::size_t maximo, std::int64_t tamano,
               atributos_origen* despues) {
    if (tamano < 0) {
        tamano = tamano_de(origen);
    }
    // One byte past the limit tells a source that holds more.
    const std::size_t tope = maximo < SIZE_MAX ? maximo + 1 : maximo;
    bytes.resize(
        std::min(tope, tamano > 0 ? static_cast<std::size_t>(tamano) + 1 : kBloqueLectura));
    const int fd = despues != nullptr ? descriptor_de(origen) : -1;
    std::size_t leidos = 0;
    int error = 0;
    for (;;) {
        const std::size_t pedidos = bytes.size() - leidos;
        std::size_t n = 0;
        if (fd < 0) {
            n = lee_bloque(origen, &bytes[leidos], pedidos, error);  // short only at the end
        } else {
            const leido hecho = lee_descriptor(fd, &bytes[leidos], pedidos);
            n = hecho.bytes;
            error = hecho.error;
        }
        leidos += n;
        if (error != 0 || (n < pedidos && fd < 0)) {
            break;  // a failed read, or the end of the source
        }
        if (n < pedidos) {
            // A single read that stops short ends a regular file on most file
            // systems, not on all (one served over a network or by a
            // process, /proc's): the end is proven by a read that meets
            // nothing, or by the size the source has now being what was read.
            if ((error = lee_atributos(fd, *despues)) != 0) {
                break;
            }
            if (n == 0 || despues->tamano == static_cast<std::int64_t>(leidos)) {
                break;
            }
            continue;  // room is left: read on
        }
        if (bytes.size() == tope) {
            break;  // the limit
        }
        bytes.resize(std::min(tope, bytes.size() * 2));
    }
    bytes.resize(leidos);
    return error == 0 && leidos > maximo ? EFBIG : error;
}

}  // namespace kexo
