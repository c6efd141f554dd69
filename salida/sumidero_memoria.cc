#include <cerrno>
#include <cstring>

#include "salida/paquete.h"

namespace kexo {

int sumidero_memoria::escribe(std::string_view bytes) {
    bytes_ += bytes;
    return 0;
}

int sumidero_memoria::escribe_en(std::uint64_t posicion, std::string_view bytes) {
    if (posicion > bytes_.size() || bytes.size() > bytes_.size() - posicion) {
        return EINVAL;
    }
    bytes_.replace(static_cast<std::size_t>(posicion), bytes.size(), bytes);
    return 0;
}

int sumidero_memoria::lee_en(std::uint64_t posicion, char* donde, std::size_t n) {
    if (posicion > bytes_.size() || n > bytes_.size() - posicion) {
        return EINVAL;
    }
    if (n > 0) {
        std::memcpy(donde, bytes_.data() + posicion, n);
    }
    return 0;
}

}  // namespace kexo
