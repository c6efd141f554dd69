#include "driver/temporales.h"

#include <atomic>

namespace kexo {

namespace {

// As many as the threads that can write at once, and more.
constexpr int kRanuras = 1024;

std::atomic<const char*> ranuras[kRanuras];

static_assert(std::atomic<const char*>::is_always_lock_free, "a signal handler reads them");

}  // namespace

int registra_temporal(const char* nombre) {
    for (int i = 0; i < kRanuras; ++i) {
        const char* libre = nullptr;
        if (ranuras[i].compare_exchange_strong(libre, nombre)) {
            return i;
        }
    }
    return -1;
}

void olvida_temporal(int ranura) {
    if (ranura >= 0) {
        ranuras[ranura].store(nullptr);
    }
}

void borra_temporales(void (*borra)(const char* nombre)) {
    for (std::atomic<const char*>& ranura : ranuras) {
        if (const char* nombre = ranura.load(); nombre != nullptr) {
            borra(nombre);
        }
    }
}

}  // namespace kexo
