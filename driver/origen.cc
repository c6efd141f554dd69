#include "driver/origen.h"

#include <cerrno>
#include <string>

#include "common/plataforma.h"
#include "driver/hilo_ficheros.h"

namespace {

// Large enough to make each read and write cheap, small enough to stay in cache.
constexpr std::size_t kBloque = std::size_t{1} << 18;

// The block for a source of `tamano` bytes (-1 when unknown): no larger than
// the file needs (one byte past its size, so that a single read meets its
// end), since fresh memory is costly next to the work on a small file.
std::size_t bloque_para(std::int64_t tamano) {
    if (tamano < 0 || static_cast<std::uint64_t>(tamano) >= kBloque) {
        return kBloque;
    }
    return static_cast<std::size_t>(tamano) + 1;
}

}  // namespace

archivo abre_origen(const char* ruta) {
    archivo origen(std::fopen(ruta, "rb"));
    if (origen && es_directorio(origen.get())) {
        origen.reset();
        errno = EISDIR;
    }
    if (origen) {
        // Each read asks for a block or the whole file: a stream buffer would
        // only add a copy, and fresh memory.
        std::setvbuf(origen.get(), nullptr, _IONBF, 0);
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
        errno = 0;
        const std::size_t n = std::fread(bloque.data(), 1, bloque.size(), origen);
        leida.bytes += static_cast<std::int64_t>(n);
        compactando.anade(std::string_view(bloque.data(), n), escribe);
        if (n < bloque.size()) {
            break;  // the end of the source, or a failed read
        }
    }
    if (std::ferror(origen)) {
        leida.error = errno != 0 ? errno : EIO;
    }
    return leida;
}

int lee_entero(std::FILE* origen, std::string& bytes) {
    const std::int64_t tamano = tamano_de(origen);
    bytes.resize(tamano > 0 ? static_cast<std::size_t>(tamano) + 1 : kBloque);
    std::size_t leidos = 0;
    for (;;) {
        errno = 0;
        leidos += std::fread(&bytes[leidos], 1, bytes.size() - leidos, origen);
        if (leidos < bytes.size()) {
            break;  // the end of the source, or a failed read
        }
        bytes.resize(bytes.size() * 2);
    }
    bytes.resize(leidos);
    return std::ferror(origen) ? (errno != 0 ? errno : EIO) : 0;
}
