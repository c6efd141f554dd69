// Fuzz target: the compaction of arbitrary bytes, whole and in pieces, checked
// against properties that hold for every source.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "compaction/compacta.h"
#include "fuzz/exige.h"

namespace kexo {

namespace {

bool es_blanco_o_nulo(char c) {
    return c == ' ' || c == '\0';
}

// What a source with no CR, no `/` and no quote compacts to: itself, less the
// spaces and 0 bytes at its end, with a final `?>` on its own line, and without
// a space between a `>` and the last byte.
std::string sin_nada_que_escanear(std::string_view fuente) {
    std::string texto(fuente);
    while (texto.size() > 1 && es_blanco_o_nulo(texto.back())) {
        texto.pop_back();
    }
    if (texto.size() == 1 && es_blanco_o_nulo(texto[0])) {
        return "";
    }
    const std::size_t n = texto.size();
    if (n >= 2 && texto.compare(n - 2, 2, "?>") == 0) {
        return texto.substr(0, n - 2) + "\r\n?>\r\n";
    }
    if (n >= 2 && texto[n - 2] == ' ' && (n >= 3 ? texto[n - 3] : '\0') == '>') {
        texto.erase(n - 2, 1);
    }
    return texto;
}

// The source in pieces whose sizes come from `semilla`, scanned along `via`.
std::string por_trozos(std::string_view fuente, std::uint8_t semilla, via_escaneo via) {
    compactacion en_curso(via);
    std::string salida;
    const receptor anota = [&salida](std::string_view bytes) { salida.append(bytes); };
    std::size_t i = 0;
    for (std::size_t k = 0; i < fuente.size(); ++k) {
        // Mostly small pieces; now and then one long enough for blocks.
        const std::size_t tamano =
            1 + ((semilla >> (k % 8)) & 7) * (k % 3 + 1) + (k % 4 == 3 ? 130 : 0);
        en_curso.anade(fuente.substr(i, tamano), anota);
        i += tamano;
    }
    en_curso.concluye(anota);
    return salida;
}

}  // namespace

// The property checked on one input.
int prueba(const std::uint8_t* datos, std::size_t n) {
    const std::string_view fuente(reinterpret_cast<const char*>(datos), n);
    const texto_compactado texto = compacta_fuente(fuente);
    const auto escritos = static_cast<std::int64_t>(texto.bytes.size());
    exige(texto.ultimo >= -1 && (escritos == texto.ultimo + 1 || escritos == texto.ultimo),
          "ultimo is the index of the last byte, one of them perhaps filtered out");
    const std::string& emitido = texto.bytes;
    exige(emitido.size() <= n + 4, "no longer than the source and a closing tag");
    exige(emitido.empty() || !es_blanco_o_nulo(emitido.back()), "no space or 0 byte at the end");

    // Every CR of the source is dropped or becomes a space: a CR is written
    // only before and after a final `?>`.
    const bool cierre =
        emitido.size() >= 6 && emitido.compare(emitido.size() - 6, 6, "\r\n?>\r\n") == 0;
    const std::size_t crs =
        static_cast<std::size_t>(std::count(emitido.begin(), emitido.end(), '\r'));
    exige(crs == (cierre ? 2u : 0u), "no CR but around a final ?>");

    if (fuente.find_first_of(std::string_view("\r/'\"", 4)) == std::string_view::npos) {
        exige(emitido == sin_nada_que_escanear(fuente), "nothing to scan: only the end changes");
    }
    // Both ways of scanning write the same bytes, whole and in pieces.
    const std::uint8_t semilla = n > 0 ? datos[0] : 0;
    exige(compacta_fuente(fuente, nullptr, via_escaneo::por_paradas).bytes == emitido,
          "stop by stop as by blocks");
    exige(por_trozos(fuente, semilla, via_escaneo::por_paradas) == emitido, "in pieces as whole");
    for (const via_escaneo via : {via_escaneo::bloques_avx2, via_escaneo::bloques_avx512}) {
        if (admite(via)) {
            exige(compacta_fuente(fuente, nullptr, via).bytes == emitido, "by blocks");
            exige(por_trozos(fuente, semilla, via) == emitido, "in pieces as whole, by blocks");
        }
    }
    return 0;
}

}  // namespace kexo
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t n) {
    return kexo::prueba(datos, n);
}
