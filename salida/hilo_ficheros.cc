#include "salida/hilo_ficheros.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace kexo {

namespace {

// Writes measured best here in blocks half the size of the reads.
constexpr std::size_t kBloque = kBloqueLectura / 2;

}  // namespace

std::unique_ptr<hilo_ficheros> hilo_ficheros::arranca(std::FILE* origen, std::FILE* destino) {
    try {
        return std::make_unique<hilo_ficheros>(origen, destino);
    } catch (const std::system_error&) {
        return nullptr;  // no thread to spare: the files are read and written as they come
    }
}

hilo_ficheros::hilo_ficheros(std::FILE* origen, std::FILE* destino)
    : origen_(origen), destino_(destino) {
    for (std::size_t i = 0; i < kEnVuelo; ++i) {
        lecturas_[i].resize(kBloqueLectura);
        escrituras_[i].resize(kBloque);
    }
    hilo_ = std::thread([this] { atiende(); });
}

hilo_ficheros::~hilo_ficheros() {
    if (hilo_.joinable()) {
        completa();
    }
}

std::string_view hilo_ficheros::lee() {
    std::unique_lock<std::mutex> cerrojo(mutex_);
    if (tomados_ > devueltos_) {
        ++devueltos_;  // the block given last is free again
        cambio_.notify_all();
    }
    cambio_.wait(cerrojo, [this] { return leidos_ > tomados_ || fin_lectura_; });
    if (leidos_ == tomados_) {
        return {};
    }
    const std::size_t i = tomados_++ % kEnVuelo;
    return std::string_view(lecturas_[i].data(), llenos_[i]);
}

void hilo_ficheros::escribe(std::string_view bytes) {
    while (!bytes.empty()) {
        std::string& bloque = escrituras_[entregados_ % kEnVuelo];
        const std::size_t n = std::min(bytes.size(), bloque.size() - lleno_);
        std::memcpy(&bloque[lleno_], bytes.data(), n);
        lleno_ += n;
        bytes.remove_prefix(n);
        if (lleno_ == bloque.size()) {
            entrega();
        }
    }
}

void hilo_ficheros::entrega() {
    std::unique_lock<std::mutex> cerrojo(mutex_);
    a_escribir_[entregados_ % kEnVuelo] = lleno_;
    ++entregados_;
    lleno_ = 0;
    cambio_.notify_all();
    // The next block to fill is free once the thread has written it.
    cambio_.wait(cerrojo, [this] { return entregados_ - escritos_ < kEnVuelo; });
}

bool hilo_ficheros::completa() {
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

void hilo_ficheros::atiende() {
    std::unique_lock<std::mutex> cerrojo(mutex_);
    for (;;) {
        cambio_.wait(cerrojo, [this] { return hay_escritura() || hay_lectura() || termina_; });
        if (hay_escritura()) {
            // Writes first: the scan waits for a free block to fill.
            const std::size_t i = escritos_ % kEnVuelo;
            bool bien = bien_;
            cerrojo.unlock();
            // After a failed write the rest are not attempted: the text is lost anyway.
            bien = bien && std::fwrite(escrituras_[i].data(), 1, a_escribir_[i], destino_) ==
                               a_escribir_[i];
            cerrojo.lock();
            bien_ = bien;
            ++escritos_;
        } else if (hay_lectura()) {
            const std::size_t i = leidos_ % kEnVuelo;
            cerrojo.unlock();
            int error = 0;
            const std::size_t n = lee_bloque(origen_, lecturas_[i].data(), kBloqueLectura, error);
            cerrojo.lock();
            leida_.bytes += static_cast<std::int64_t>(n);
            llenos_[i] = n;
            leidos_ += n > 0 ? 1 : 0;
            if (n < kBloqueLectura) {
                fin_lectura_ = true;  // the end of the source, or a failed read
                leida_.error = error;
            }
        } else {
            return;  // told to end, and every block written
        }
        cambio_.notify_all();
    }
}

}  // namespace kexo
