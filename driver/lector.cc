#include "driver/lector.h"

#include <cerrno>
#include <system_error>

lector::lector(std::FILE* origen, std::size_t bloque, bool adelanta) : origen_(origen) {
    bloques_[0].resize(bloque);
    if (adelanta) {
        bloques_[1].resize(bloque);
        try {
            hilo_ = std::thread(&lector::adelanta, this);
        } catch (const std::system_error&) {
            // No thread to be had: the blocks are read as they are asked for.
        }
    }
}

lector::~lector() {
    {
        const std::lock_guard<std::mutex> cierre(cerrojo_);
        cancelado_ = true;
    }
    cambio_.notify_all();
    if (hilo_.joinable()) {
        hilo_.join();
    }
}

bool lector::lee(int i) {
    std::string& bloque = bloques_[i];
    errno = 0;
    const std::size_t n = std::fread(bloque.data(), 1, bloque.size(), origen_);
    const int error = std::ferror(origen_) ? (errno != 0 ? errno : EIO) : 0;
    const bool sigue = n == bloque.size() && error == 0;
    {
        const std::lock_guard<std::mutex> cierre(cerrojo_);
        llenos_[i] = n;
        listos_[i] = n > 0 && error == 0;
        error_ = error;
        terminado_ = !sigue;
    }
    cambio_.notify_all();
    return sigue;
}

void lector::adelanta() {
    for (int i = 0;; i ^= 1) {
        {
            std::unique_lock<std::mutex> cierre(cerrojo_);
            cambio_.wait(cierre, [&] { return cancelado_ || (!listos_[i] && en_uso_ != i); });
            if (cancelado_) {
                return;
            }
        }
        if (!lee(i)) {
            return;
        }
    }
}

std::string_view lector::siguiente() {
    if (!hilo_.joinable()) {
        if (terminado_) {
            return std::string_view();
        }
        lee(0);
        if (!listos_[0]) {
            return std::string_view();
        }
        listos_[0] = false;
        return std::string_view(bloques_[0].data(), llenos_[0]);
    }
    std::unique_lock<std::mutex> cierre(cerrojo_);
    en_uso_ = -1;  // the block handed out last is free again
    cambio_.notify_all();
    cambio_.wait(cierre, [&] { return listos_[turno_] || terminado_; });
    if (!listos_[turno_]) {
        return std::string_view();
    }
    listos_[turno_] = false;
    en_uso_ = turno_;
    turno_ ^= 1;
    return std::string_view(bloques_[en_uso_].data(), llenos_[en_uso_]);
}

int lector::error() {
    const std::lock_guard<std::mutex> cierre(cerrojo_);
    return error_;
}
