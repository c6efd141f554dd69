// Digests with Windows' CNG (bcrypt.dll).
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/resumen.h"

namespace kexo {

namespace {

bool exito(NTSTATUS estado) {
    return estado >= 0;
}

}  // namespace

// A failure at any step leaves `roto` set: termina() then gives no digest.
struct resumen::estado {
    algoritmo_resumen algoritmo;
    BCRYPT_ALG_HANDLE proveedor = nullptr;
    BCRYPT_HASH_HANDLE calculo = nullptr;
    bool roto = false;

    ~estado() {
        if (calculo != nullptr) {
            BCryptDestroyHash(calculo);
        }
        if (proveedor != nullptr) {
            BCryptCloseAlgorithmProvider(proveedor, 0);
        }
    }
};

resumen::resumen(algoritmo_resumen algoritmo) : estado_(new estado{algoritmo}) {
    const wchar_t* nombre =
        algoritmo == algoritmo_resumen::sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA512_ALGORITHM;
    estado_->roto =
        !exito(BCryptOpenAlgorithmProvider(&estado_->proveedor, nombre, nullptr, 0)) ||
        !exito(BCryptCreateHash(estado_->proveedor, &estado_->calculo, nullptr, 0, nullptr, 0, 0));
}

resumen::~resumen() = default;

void resumen::anade(std::string_view bytes) {
    // BCryptHashData takes a 32-bit length: larger pieces go in parts.
    constexpr std::size_t kParte = std::size_t{1} << 30;
    while (!estado_->roto && !bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kParte);
        auto* datos = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
        estado_->roto = !exito(BCryptHashData(estado_->calculo, datos, static_cast<ULONG>(n), 0));
        bytes.remove_prefix(n);
    }
}

std::string resumen::termina() {
    std::string digesto(largo_resumen(estado_->algoritmo), '\0');
    if (estado_->roto ||
        !exito(BCryptFinishHash(estado_->calculo, reinterpret_cast<PUCHAR>(digesto.data()),
                                static_cast<ULONG>(digesto.size()), 0))) {
        estado_->roto = true;
        return {};
    }
    return digesto;
}

}  // namespace kexo
