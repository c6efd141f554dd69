#include "salida/temporales.h"

#include <atomic>
#include <thread>

#include "common/procesos.h"

namespace kexo {

namespace {

// As many as the threads that can write at once, and more.
constexpr int kRanuras = 1024;

std::atomic<const temporal::registro*> ranuras[kRanuras];

// How many removals are reading the names: a name forgotten is not freed
// while one is, since it may have taken the name's record just before.
std::atomic<int> leyendo{0};

// Set by the first removal, before it reads any record.
std::atomic<bool> cerrando{false};

static_assert(std::atomic<const temporal::registro*>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
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
        // A removal on another thread that took the record before it was
        // cleared reads the name until it is done (then the process ends).
        while (leyendo.load() != 0) {
            std::this_thread::yield();
        }
    }
    nombre_.clear();
}

void borra_temporales(void (*borra)(int carpeta, const char* nombre)) {
    leyendo.fetch_add(1);  // before any record is taken
    // Other threads go on until the process ends: a name recorded after its
    // slot was read is removed by its maker (all orders here are sequential).
    cerrando.store(true);
    for (std::atomic<const temporal::registro*>& ranura : ranuras) {
        if (const temporal::registro* registro = ranura.load(); registro != nullptr) {
            borra(registro->carpeta, registro->nombre);
        }
    }
    leyendo.fetch_sub(1);
}

bool cierre_en_curso() {
    return cerrando.load();
}

}  // namespace kexo
