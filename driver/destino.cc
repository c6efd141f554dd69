#include "driver/destino.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>

#include "driver/hilo_ficheros.h"
#include "driver/temporales.h"
#include "notice/aviso.h"

namespace kexo {

int destino::abre_directo(const std::string& ruta) {
    flujo_.reset(sin_buffer(std::fopen(ruta.c_str(), "wb")));
    en_su_sitio_ = true;
    return flujo_ ? 0 : errno;
}

int destino::adopta_temporal(int fd) {
    flujo_.reset(sin_buffer(fdopen(fd, "wb")));
    if (!flujo_) {
        const int error = errno;
        close(fd);
        descarta();
        return error;
    }
    return 0;
}

bool destino::confirma(bool escrito) {
    if (!flujo_) {
        return false;
    }
    bool bien = std::fflush(flujo_.get()) == 0 && escrito && aplica_atributos();
    if (en_su_sitio_) {
        return std::fclose(flujo_.release()) == 0 && bien;
    }
    bien = bien && nombra_temporal();
    bien = std::fclose(flujo_.release()) == 0 && bien;
    bien = bien && coloca_temporal();
    descarta();
    return bien;
}

void destino::suelta_temporal() {
    olvida_temporal(ranura_);
    ranura_ = -1;
    temporal_.clear();
}

void destino::descarta() {
    flujo_.reset();
    borra_temporal();
}

destino::~destino() {
    descarta();
}

void escritor_destino::escribe_cabecera_y_espera() {
    cabecera_escrita_ = true;
    escrito_ = escribe_cabecera(destino_, scopy_) && escrito_;
    escrito_ =
        std::fwrite(espera_.data(), 1, espera_.size(), destino_) == espera_.size() && escrito_;
    std::string().swap(espera_);
}

void escritor_destino::escribe(std::string_view bytes) {
    if (bytes.empty()) {
        return;  // a null view may stand for none
    }
    if (!cabecera_escrita_) {
        if (espera_.size() + bytes.size() < espera_maxima_) {
            espera_.append(bytes);
            return;
        }
        escribe_cabecera_y_espera();
    }
    if (hilo_ != nullptr) {
        hilo_->escribe(bytes);
        return;
    }
    escrito_ = std::fwrite(bytes.data(), 1, bytes.size(), destino_) == bytes.size() && escrito_;
}

bool escritor_destino::completa() {
    if (!cabecera_escrita_) {
        escribe_cabecera_y_espera();
    }
    if (hilo_ != nullptr) {
        escrito_ = hilo_->completa() && escrito_;
        hilo_ = nullptr;
    }
    return escrito_;
}

void escribe_destino(escritor_destino& escritor, const texto_compactado& sresultado) {
    for (const std::string_view parte : partes_emitidas(sresultado)) {
        escritor.escribe(parte);
    }
}

}  // namespace kexo
