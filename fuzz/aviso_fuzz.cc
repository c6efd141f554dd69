// Fuzz target: the notice read from arbitrary notice-file bytes, and its header.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/exige.h"
#include "notice/aviso.h"

namespace kexo {

// The property checked on one input.
int prueba(const std::uint8_t* datos, std::size_t n) {
    const std::string_view fichero(reinterpret_cast<const char*>(datos), n);
    const std::string texto = traduce_modo_texto(fichero);
    exige(texto.size() <= n, "translation never grows");
    exige(texto.find('\x1a') == std::string::npos, "0x1A ends the text");

    const std::string aviso = aviso_de(texto);
    exige(aviso.size() <= kMaximoAviso, "at most 999 bytes");
    exige(aviso.find_first_of(std::string_view("\n\0", 2)) == std::string::npos,
          "no LF, no 0 byte");
    exige(texto.compare(0, aviso.size(), aviso) == 0, "the notice starts the text");
    const std::size_t fin = texto.find_first_of(std::string_view("\n\0", 2));
    const std::size_t linea = fin == std::string::npos ? texto.size() : fin;
    exige(aviso.size() == std::min(linea, kMaximoAviso), "the whole first line, up to 999 bytes");

    const std::string cabecera = texto_cabecera(aviso);
    exige(cabecera.empty() == aviso.empty(), "a header exactly when there is a notice");
    exige(aviso.empty() || cabecera == "<?php\n// " + aviso + "\n?>\n", "the header's three lines");

    // The same bytes as a source: where a notice would stand in front of them.
    const colocacion_aviso donde = coloca_aviso("N", fichero);
    exige(fichero.compare(0, donde.antes.size(), donde.antes) == 0, "what goes first is the start");
    exige(
        donde.antes.empty() || (donde.antes.compare(0, 2, "#!") == 0 && donde.antes.back() == '\n'),
        "only a whole #! line goes before the header");
    exige(!donde.en_apertura || fichero.substr(donde.antes.size()).size() >= kBytesApertura,
          "an open tag to leave out");
    const colocacion_aviso sin_aviso = coloca_aviso("", fichero);
    exige(sin_aviso.antes.empty() && !sin_aviso.en_apertura, "without a notice nothing moves");
    return 0;
}

}  // namespace kexo
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t n) {
    return kexo::prueba(datos, n);
}
