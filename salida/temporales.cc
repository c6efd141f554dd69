#include "salida/temporales.h"

#include <atomic>

#include "common/procesos.h"

namespace kexo {

namespace {

// As many as the threads that can write at once, and more.
constexpr int kRanuras = 1024;

std::atomic<const temporal::registro*> ranuras[kRanuras];

static_assert(std::atomic<const temporal::registro*>::is_always_lock_free,
              "a signal handler reads them");

int registra(const temporal::registro* registro) {
    for (int i = 0; i < kRanuras; ++i) {
        const temporal::registro* libre = nullptr;
        if (ranuras[i].compare_exchange_strong(libre, registro)) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool temporal::nombra(int carpeta, const std::string& prefijo) {
    olvida();
    static std::atomic<unsigned long long> cuenta{0};
    static const std::string proceso = std::to_string(numero_de_proceso());
    nombre_ = prefijo + kPrefijoTemporal + proceso + "-" + std::to_string(cuenta++);
    registro_ = {carpeta, nombre_.c_str()};
    ranura_ = registra(&registro_);
    if (ranura_ < 0) {
        nombre_.clear();
        return false;
    }
    return true;
}

void temporal::olvida() {
    if (ranura_ >= 0) {
        ranuras[ranura_].store(nullptr);
        ranura_ = -1;
    }
    nombre_.clear();
}

void borra_temporales(void (*borra)(int carpeta, const char* nombre)) {
    for (std::atomic<const temporal::registro*>& ranura : ranuras) {
        if (const temporal::registro* registro = ranura.load(); registro != nullptr) {
            borra(registro->carpeta, registro->nombre);
        }
    }
}

}  // namespace kexo
