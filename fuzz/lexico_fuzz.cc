// Fuzz target: PHP's lexical comparison over arbitrary bytes, against the
// source itself and against its compaction.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "compaction/compacta.h"
#include "fuzz/exige.h"
#include "lexical/lexico_php.h"

namespace kexo {

// The property checked on one input.
int prueba(const std::uint8_t* datos, std::size_t n) {
    const std::string_view fuente(reinterpret_cast<const char*>(datos), n);
    exige(compara_php(fuente, fuente).iguales, "a source has its own program");

    const std::string compactado = compacta_fuente(fuente).bytes;
    const comparacion ida = compara_php(fuente, compactado);
    const comparacion vuelta = compara_php(compactado, fuente);
    exige(ida.iguales == vuelta.iguales, "the same either way round");
    const auto lineas = static_cast<std::int64_t>(std::count(fuente.begin(), fuente.end(), '\n'));
    exige(ida.iguales || (ida.linea >= 1 && ida.linea <= lineas + 1), "the line is in the source");
    return 0;
}

}  // namespace kexo
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t n) {
    return kexo::prueba(datos, n);
}
