#include "driver/origen.h"

#include <cerrno>

#include "comun/plataforma.h"

namespace {

// Large enough to make each read and write cheap, small enough to stay in cache.
constexpr std::size_t kBloque = std::size_t{1} << 20;

// The block for `origen`: no larger than the file needs (one byte past its
// size, so that a single read meets its end), since fresh memory is costly
// next to the work on a small file.
std::size_t bloque_para(std::FILE* origen) {
    const std::int64_t tamano = tamano_de(origen);
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
    return origen;
}

lectura lee_compactando(std::FILE* origen, compactador& sresultado, escritor_destino& escritor,
                        std::string& ultimos) {
    std::string bloque(bloque_para(origen), '\0');
    std::string_view listos;  // final bytes of the previous block, not yet written
    lectura leida{0, 0};
    for (bool hay_mas = true; hay_mas;) {
        errno = 0;
        const std::size_t n = std::fread(bloque.data(), 1, bloque.size(), origen);
        if (std::ferror(origen)) {
            leida.error = errno != 0 ? errno : EIO;
            return leida;
        }
        hay_mas = n == bloque.size();
        leida.bytes += static_cast<std::int64_t>(n);
        escritor.escribe(listos);
        listos = sresultado.anade(std::string_view(bloque.data(), n));
    }
    ultimos.assign(listos);
    return leida;
}
