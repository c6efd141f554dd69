#include "driver/destino.h"

#include "notice/aviso.h"

bool escribe_destino(std::FILE* destino, std::string_view scopy, const compactado& sresultado) {
    bool escrito = escribe_cabecera(destino, scopy);
    for (const std::string_view parte : partes_emitidas(sresultado)) {
        if (!parte.empty()) {
            escrito =
                std::fwrite(parte.data(), 1, parte.size(), destino) == parte.size() && escrito;
        }
    }
    return escrito;
}

int cierra_destino(archivo destino, bool escrito) {
    const bool volcado = std::fflush(destino.get()) == 0;
    const bool cerrado = std::fclose(destino.release()) == 0;
    return escrito && volcado && cerrado ? 0 : EOF;
}
