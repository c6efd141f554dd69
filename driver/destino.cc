#include "driver/destino.h"

#include "notice/aviso.h"

void escritor_destino::escribe_cabecera_si_falta() {
    if (!cabecera_escrita_) {
        cabecera_escrita_ = true;
        escrito_ = escribe_cabecera(destino_, scopy_) && escrito_;
    }
}

void escritor_destino::escribe(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    escribe_cabecera_si_falta();
    escrito_ = std::fwrite(bytes.data(), 1, bytes.size(), destino_) == bytes.size() && escrito_;
}

bool escritor_destino::completa() {
    escribe_cabecera_si_falta();
    return escrito_;
}

void escribe_destino(escritor_destino& escritor, const texto_compactado& sresultado) {
    for (const std::string_view parte : partes_emitidas(sresultado)) {
        escritor.escribe(parte);
    }
}

int cierra_destino(archivo destino, bool escrito) {
    const bool volcado = std::fflush(destino.get()) == 0;
    const bool cerrado = std::fclose(destino.release()) == 0;
    return escrito && volcado && cerrado ? 0 : EOF;
}
