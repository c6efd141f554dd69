#include "salida/sumidero_fichero.h"

#include <cerrno>
#include <cstring>

#include "common/ficheros.h"

namespace kexo {

namespace {

// The buffer: large enough that each write costs little next to its bytes.
constexpr std::size_t kPendienteMaximo = std::size_t{1} << 20;

}  // namespace

int sumidero_fichero::a_fichero(std::string_view bytes) {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), flujo_) != bytes.size() ||
        std::fflush(flujo_) != 0) {
        error_ = errno != 0 ? errno : EIO;
        return error_;
    }
    vaciados_ += bytes.size();
    return 0;
}

int sumidero_fichero::vacia() {
    if (error_ != 0 || pendiente_.empty()) {
        return error_;
    }
    if (const int error = a_fichero(pendiente_); error != 0) {
        return error;
    }
    pendiente_.clear();
    return 0;
}

int sumidero_fichero::escribe(std::string_view bytes) {
    if (error_ != 0) {
        return error_;
    }
    if (pendiente_.size() + bytes.size() > kPendienteMaximo) {
        if (const int error = vacia(); error != 0) {
            return error;
        }
        if (bytes.size() >= kPendienteMaximo) {
            // Large: straight to the file, not through the buffer.
            return a_fichero(bytes);
        }
    }
    pendiente_.append(bytes);
    return 0;
}

int sumidero_fichero::escribe_en(std::uint64_t posicion, std::string_view bytes) {
    if (error_ != 0) {
        return error_;
    }
    if (posicion + bytes.size() > tamano()) {
        return EINVAL;  // only bytes already written
    }
    if (posicion >= vaciados_) {
        std::memcpy(&pendiente_[posicion - vaciados_], bytes.data(), bytes.size());
        return 0;
    }
    if (const int error = vacia(); error != 0) {
        return error;
    }
    error_ = sobrescribe_en(descriptor_de(flujo_), bytes.data(), bytes.size(),
                            static_cast<std::int64_t>(posicion));
    return error_;
}

int sumidero_fichero::anade_de(sumidero& origen, std::uint64_t posicion, std::uint64_t n) {
    auto* const fichero = dynamic_cast<sumidero_fichero*>(&origen);
    if (error_ != 0 || fichero == nullptr || fichero == this) {
        return error_ != 0 ? error_ : sumidero::anade_de(origen, posicion, n);
    }
    if (posicion + n > fichero->tamano()) {
        return EINVAL;
    }
    if (const int error = vacia(); error != 0) {
        return error;
    }
    if (const int error = fichero->vacia(); error != 0) {
        return error;
    }
    std::uint64_t hechos = 0;
    const int error =
        anade_por_el_nucleo(descriptor_de(fichero->flujo_), static_cast<std::int64_t>(posicion),
                            descriptor_de(flujo_), n, hechos);
    vaciados_ += hechos;
    if (error == ENOSYS) {
        return sumidero::anade_de(origen, posicion + hechos, n - hechos);
    }
    error_ = error;
    return error;
}

int sumidero_fichero::lee_en(std::uint64_t posicion, char* donde, std::size_t n) {
    if (posicion + n > tamano()) {
        return EINVAL;
    }
    if (const int error = vacia(); error != 0) {
        return error;
    }
    while (n > 0) {
        const leido hecho =
            kexo::lee_en(descriptor_de(flujo_), donde, n, static_cast<std::int64_t>(posicion));
        if (hecho.error != 0 || hecho.bytes == 0) {
            return hecho.error != 0 ? hecho.error : EIO;
        }
        donde += hecho.bytes;
        n -= hecho.bytes;
        posicion += hecho.bytes;
    }
    return 0;
}

}  // namespace kexo
