#include "driver/origen.h"

#include <cerrno>

#include "common/plataforma.h"
#include "driver/lector.h"

namespace {

// Large enough to make each read and write cheap, small enough to stay in cache.
constexpr std::size_t kBloque = std::size_t{1} << 20;

// Sources larger than this are read ahead on a second thread; for smaller
// ones starting the thread costs more than it saves.
constexpr std::int64_t kAdelantaDesde = 4 * static_cast<std::int64_t>(kBloque);

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
    return origen;
}

lectura lee_compactando(std::FILE* origen, compactacion& compactando, escritor_destino& escritor,
                        std::string& ultimos) {
    const std::int64_t tamano = tamano_de(origen);
    lector bloques(origen, bloque_para(tamano), tamano > kAdelantaDesde);
    std::string_view listos;  // final bytes of the previous block, not yet written
    lectura leida{0, 0};
    for (std::string_view bloque = bloques.siguiente(); !bloque.empty();
         bloque = bloques.siguiente()) {
        leida.bytes += static_cast<std::int64_t>(bloque.size());
        escritor.escribe(listos);
        listos = compactando.anade(bloque);
    }
    leida.error = bloques.error();
    ultimos.assign(listos);
    return leida;
}
