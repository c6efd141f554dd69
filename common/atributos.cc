#include "common/atributos.h"

#include "common/ficheros.h"

namespace kexo {

int copia_atributos(int fd, std::FILE* original, nodo* queda) {
    atributos_origen de;
    const int error = lee_atributos(descriptor_de(original), de);
    return error != 0 ? error : copia_atributos(fd, de, queda);
}

bool mismo_tiempo(std::int64_t original, std::int64_t copia) {
    constexpr std::int64_t kSegundo = 1000000000;
    if (copia == original) {
        return true;
    }
    // The fraction as the system gives it, from 0 up, before 1970 too; the
    // second it starts in reckoned in unsigned arithmetic, as the times are,
    // so that no time near the ends of the range overflows.
    const std::int64_t fraccion = ((original % kSegundo) + kSegundo) % kSegundo;
    return fraccion != 0 && copia % kSegundo == 0 &&
           static_cast<std::uint64_t>(copia) ==
               static_cast<std::uint64_t>(original) - static_cast<std::uint64_t>(fraccion);
}

}  // namespace kexo
