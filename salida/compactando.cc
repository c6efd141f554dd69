#include "salida/compactando.h"

#include <string>
#include <string_view>

#include "salida/hilo_ficheros.h"

namespace kexo {

lectura lee_compactando(std::FILE* origen, std::int64_t tamano, compactacion& compactando,
                        const receptor& recibe, hilo_ficheros* hilo) {
    if (hilo != nullptr) {
        for (std::string_view bloque = hilo->lee(); !bloque.empty(); bloque = hilo->lee()) {
            compactando.anade(bloque, recibe);
        }
        return hilo->leida();
    }
    std::string bloque(bloque_para(tamano), '\0');
    lectura leida{0, 0};
    for (;;) {
        const std::size_t n = lee_bloque(origen, bloque.data(), bloque.size(), leida.error);
        leida.bytes += static_cast<std::int64_t>(n);
        compactando.anade(std::string_view(bloque.data(), n), recibe);
        if (n < bloque.size()) {
            return leida;  // the end of the source, or a failed read
        }
    }
}

}  // namespace kexo
