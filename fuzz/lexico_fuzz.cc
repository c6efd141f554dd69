// Fuzz target: PHP's lexical comparison and PHP's rules over arbitrary bytes,
// against the source itself, its compaction by kexo's rules and by PHP's.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "compaction/compacta.h"
#include "fuzz/exige.h"
#include "lexical/lexico_php.h"
#include "lexical/reglas_php.h"

namespace kexo {

// The property checked on one input.
int prueba(const std::uint8_t* datos, std::size_t n) {
    const std::string_view fuente(reinterpret_cast<const char*>(datos), n);
    exige(compara_php(fuente, fuente, modo_comparacion::lineas).iguales,
          "a source has its own program, on its own lines");

    const std::string compactado = compacta_fuente(fuente).bytes;
    const comparacion ida = compara_php(fuente, compactado);
    const comparacion vuelta = compara_php(compactado, fuente);
    exige(ida.iguales == vuelta.iguales, "the same either way round");
    exige(ida.iguales == (ida.motivo == motivo_diferencia::ninguno), "a difference has a reason");
    // PHP counts a LF, and a CR that no LF follows.
    std::int64_t lineas = 1;
    for (std::size_t i = 0; i < n; ++i) {
        lineas += fuente[i] == '\n' || (fuente[i] == '\r' && (i + 1 == n || fuente[i + 1] != '\n'));
    }
    exige(ida.iguales || (ida.linea >= 1 && ida.linea <= lineas), "the line is in the source");

    // Where the sources share long runs of bytes, the check reads the original
    // alone there: it finds what reading both token by token finds.
    std::string sin_uno(fuente);
    if (!sin_uno.empty()) {
        sin_uno.erase(n * 7 / 10, 1);
    }
    // The input over and over, for runs long enough to skip over code in,
    // cut short at two places: each run ends at a byte the input chooses.
    std::string larga = "<?php\n";
    while (n > 0 && larga.size() < 700) {
        larga.append(fuente);
    }
    std::string larga_sin = larga;
    if (n > 0) {
        larga_sin.erase(larga.size() * 8 / 10, 1);
        larga_sin.insert(larga.size() * 4 / 10, 1, larga[larga.size() / 2]);
    }
    for (const std::int64_t desfase : {0, 1}) {
        for (const auto& [a, b] :
             {std::pair<std::string_view, std::string_view>{fuente, compactado},
              {compactado, fuente},
              {fuente, sin_uno},
              {sin_uno, fuente},
              {larga, larga_sin},
              {larga_sin, larga}}) {
            const comparacion atajo = compara_php(a, b, modo_comparacion::programa, desfase);
            const comparacion paso =
                compara_php_paso_a_paso(a, b, modo_comparacion::programa, desfase);
            exige(atajo.iguales == paso.iguales && atajo.linea == paso.linea &&
                      atajo.motivo == paso.motivo,
                  "the shortcut finds what reading token by token finds");
        }
    }

    const std::string reglas = compacta_php(fuente);
    exige(compara_php(fuente, reglas, modo_comparacion::lineas).iguales,
          "PHP's rules keep every piece, on its line");
    exige(reglas.size() <= fuente.size(), "PHP's rules add nothing");
    exige(compacta_php(reglas) == reglas, "PHP's rules twice are PHP's rules once");
    return 0;
}

}  // namespace kexo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t n) {
    return kexo::prueba(datos, n);
}
