#include "driver/origen.h"

#include <cerrno>

#include "comun/plataforma.h"

namespace {

constexpr std::size_t kBloque = 1 << 20;

}  // namespace

archivo abre_origen(const char* ruta) {
    archivo origen(std::fopen(ruta, "rb"));
    if (origen && es_directorio(origen.get())) {
        origen.reset();
        errno = EISDIR;
    }
    return origen;
}

int lee_todo(std::FILE* origen, std::string& sfuente) {
    // One byte past the expected size, so that a file read whole meets its end
    // without growing the buffer.
    const auto previsto = static_cast<std::size_t>(tamano_previsto(origen));
    sfuente.resize(previsto > 0 ? previsto + 1 : kBloque);
    std::size_t usado = 0;
    while (!std::feof(origen)) {
        if (usado == sfuente.size()) {
            sfuente.resize(sfuente.size() * 2);
        }
        errno = 0;
        usado += std::fread(&sfuente[usado], 1, sfuente.size() - usado, origen);
        if (std::ferror(origen)) {
            return errno != 0 ? errno : EIO;
        }
    }
    sfuente.resize(usado);
    return 0;
}
