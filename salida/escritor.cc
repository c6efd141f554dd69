#include "salida/escritor.h"

#include <algorithm>
#include <cerrno>

#include "notice/aviso.h"
#include "salida/hilo_ficheros.h"

namespace kexo {

void escritor_destino::anota(bool bien) {
    if (!bien && escrito_) {
        error_ = errno != 0 ? errno : EIO;
    }
    escrito_ = bien && escrito_;
}

void escritor_destino::escribe_cabecera_y_retenido() {
    cabecera_escrita_ = true;
    errno = 0;
    if (vistos_) {
        vistos_(scopy_.empty() ? std::string() : texto_cabecera(scopy_, donde_));
        vistos_(retenido_);
    }
    anota(escribe_cabecera(destino_, scopy_, donde_));
    anota(std::fwrite(retenido_.data(), 1, retenido_.size(), destino_) == retenido_.size());
    std::string().swap(retenido_);
}

void escritor_destino::escribe(std::string_view bytes) {
    const std::size_t saltados = std::min(por_saltar_, bytes.size());
    bytes.remove_prefix(saltados);
    por_saltar_ -= saltados;
    if (bytes.empty()) {
        return;  // a null view may stand for none
    }
    if (!cabecera_escrita_) {
        if (retenido_.size() + bytes.size() < retencion_maxima_) {
            retenido_.append(bytes);
            return;
        }
        escribe_cabecera_y_retenido();
    }
    if (vistos_) {
        vistos_(bytes);
    }
    if (hilo_ != nullptr) {
        hilo_->escribe(bytes);
        return;
    }
    errno = 0;
    anota(std::fwrite(bytes.data(), 1, bytes.size(), destino_) == bytes.size());
}

bool escribe_destino(escritor_destino& escritor) {
    if (!escritor.cabecera_escrita_) {
        escritor.escribe_cabecera_y_retenido();
    }
    if (escritor.hilo_ != nullptr) {
        escritor.escrito_ = escritor.hilo_->completa() && escritor.escrito_;
        escritor.hilo_ = nullptr;
    }
    return escritor.escrito_;
}

}  // namespace kexo
