#include "driver/escritura_paralela.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kBloque = std::size_t{1} << 17;

}  // namespace

escritura_paralela::escritura_paralela(std::FILE* destino) : destino_(destino) {
    for (std::string& bloque : bloques_) {
        bloque.resize(kBloque);
    }
    hilo_ = std::thread([this] { escribe_bloques(); });
}

escritura_paralela::~escritura_paralela() {
    if (hilo_.joinable()) {
        completa();
    }
}

void escritura_paralela::escribe(std::string_view bytes) {
    while (!bytes.empty()) {
        std::string& bloque = bloques_[entregados_ % kBloques];
        const std::size_t n = std::min(bytes.size(), bloque.size() - lleno_);
        std::memcpy(&bloque[lleno_], bytes.data(), n);
        lleno_ += n;
        bytes.remove_prefix(n);
        if (lleno_ == bloque.size()) {
            entrega();
        }
    }
}

void escritura_paralela::entrega() {
    std::unique_lock<std::mutex> cerrojo(mutex_);
    llenos_[entregados_ % kBloques] = lleno_;
    ++entregados_;
    lleno_ = 0;
    cambio_.notify_all();
    // The next block to fill is free once the thread is done with it.
    cambio_.wait(cerrojo, [this] { return entregados_ - escritos_ < kBloques; });
}

bool escritura_paralela::completa() {
    if (lleno_ > 0) {
        entrega();
    }
    {
        std::lock_guard<std::mutex> cerrojo(mutex_);
        termina_ = true;
    }
    cambio_.notify_all();
    hilo_.join();
    return bien_;
}

void escritura_paralela::escribe_bloques() {
    for (std::size_t n = 0;; ++n) {
        bool bien;
        {
            std::unique_lock<std::mutex> cerrojo(mutex_);
            cambio_.wait(cerrojo, [this, n] { return entregados_ > n || termina_; });
            if (entregados_ == n) {
                return;  // told to end, and every block written
            }
            bien = bien_;
        }
        const std::size_t i = n % kBloques;
        // After a failed write the rest are not attempted: the text is lost anyway.
        bien = bien && std::fwrite(bloques_[i].data(), 1, llenos_[i], destino_) == llenos_[i];
        std::lock_guard<std::mutex> cerrojo(mutex_);
        bien_ = bien;
        ++escritos_;
        cambio_.notify_all();
    }
}
