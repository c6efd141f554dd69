#include "driver/origen.h"

#include <cerrno>
#include <string>

#include "common/plataforma.h"
#include "driver/hilo_ficheros.h"

namespace kexo {

namespace {

// The block for a source of `tamano` bytes (-1 when unknown): no larger than
// the file needs (one byte past its size, so that a single read meets its
// end), since fresh memory is costly next to the work on a small file.
std::size_t bloque_para(std::int64_t tamano) {
    if (tamano < 0 || static_cast<std::uint64_t>(tamano) >= kBloqueLectura) {
        return kBloqueLectura;
    }
    return static_cast<std::size_t>(tamano) + 1;
}

}  // namespace

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

lectura lee_compactando(std::FILE* origen, std::int64_t tamano, compactacion& compactando,
                        escritor_destino& escritor, hilo_ficheros* hilo) {
    const receptor escribe = [&escritor](std::string_view bytes) { escritor.escribe(bytes); };
    if (hilo != nullptr) {
        for (std::string_view bloque = hilo->lee(); !bloque.empty(); bloque = hilo->lee()) {
            compactando.anade(bloque, escribe);
        }
        return hilo->leida();
    }
    std::string bloque(bloque_para(tamano), '\0');
    lectura leida{0, 0};
    for (;;) {
        const std::size_t n = lee_bloque(origen, bloque.data(), bloque.size(), leida.error);
        leida.bytes += static_cast<std::int64_t>(n);
        compactando.anade(std::string_view(bloque.data(), n), escribe);
        if (n < bloque.size()) {
            return leida;  // the end of the source, or a failed read
        }
    }
}

int lee_entero(std::FILE* origen, std::string& bytes) {
    const std::int64_t tamano = tamano_de(origen);
    bytes.resize(tamano > 0 ? static_cast<std::size_t>(tamano) + 1 : kBloqueLectura);
    std::size_t leidos = 0;
    int error = 0;
    for (;;) {
        leidos += lee_bloque(origen, &bytes[leidos], bytes.size() - leidos, error);
        if (leidos < bytes.size()) {
            break;  // the end of the source, or a failed read
        }
        bytes.resize(bytes.size() * 2);
    }
    bytes.resize(leidos);
    return error;
}

}  // namespace kexo
