// Digests with nettle, which picks the processor's SHA instructions where it
// has them.
#include <nettle/sha2.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/resumen.h"

namespace kexo {

struct resumen::estado {
    algoritmo_resumen algoritmo;
    sha256_ctx sha256;
    sha512_ctx sha512;
};

resumen::resumen(algoritmo_resumen algoritmo) : estado_(new estado{algoritmo, {}, {}}) {
    if (algoritmo == algoritmo_resumen::sha256) {
        sha256_init(&estado_->sha256);
    } else {
        sha512_init(&estado_->sha512);
    }
}

resumen::~resumen() = default;

void resumen::anade(std::string_view bytes) {
    const auto* datos = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (estado_->algoritmo == algoritmo_resumen::sha256) {
        sha256_update(&estado_->sha256, bytes.size(), datos);
    } else {
        sha512_update(&estado_->sha512, bytes.size(), datos);
    }
}

std::string resumen::termina() {
    std::string digesto(largo_resumen(estado_->algoritmo), '\0');
    auto* donde = reinterpret_cast<std::uint8_t*>(digesto.data());
    if (estado_->algoritmo == algoritmo_resumen::sha256) {
        sha256_digest(&estado_->sha256, digesto.size(), donde);
    } else {
        sha512_digest(&estado_->sha512, digesto.size(), donde);
    }
    return digesto;
}

}  // namespace kexo
