// Fuzz target: PHP's lexical comparison and PHP's rules over arbitrary bytes,
// against the source itself, its compaction by kexo's rules and by PHP's.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "compaction/compacta.h"
#include "fuzz/exige.h"
#include "lexical/lectura_php.h"
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
            for (const modo_comparacion modo :
                 {modo_comparacion::programa, modo_comparacion::lineas}) {
                const comparacion atajo = compara_php(a, b, modo, desfase);
                const comparacion paso = compara_php_paso_a_paso(a, b, modo, desfase);
                exige(atajo.iguales == paso.iguales && atajo.linea == paso.linea &&
                          atajo.motivo == paso.motivo,
                      "the shortcut finds what reading token by token finds");
            }
        }
    }

    // Long runs with no gap, passed over where no token is kept: the same
    // bytes as read token by token.
    lectura_php entera;
    entera.tramo_de_tabla = SIZE_MAX;
    exige(compacta_php(larga, entera) == compacta_php(larga),
          "passing over a table's runs changes no byte");

    lectura_php lectura;
    const std::string reglas = compacta_php(fuente, lectura);
    exige(reglas == compacta_php(fuente), "keeping the tokens changes no byte");
    exige(compara_php(fuente, reglas, modo_comparacion::lineas).iguales,
          "PHP's rules keep every piece, on its line");

    // The tokens PHP's rules keep are lexico_php's, and the check that takes
    // them finds what compara_php finds.
    exige(lectura.completa, "a source under 4 GiB is read once");
    lexico_php lexico(fuente);
    for (std::size_t k = 0; !lectura.resto || k < lectura.piezas.size(); ++k) {
        const pieza p = lexico.siguiente();
        exige(k < lectura.piezas.size(), "every token kept");
        const pieza_guardada& g = lectura.piezas[k];
        exige(g.clase == p.clase && g.variante == p.variante &&
                  g.desde == static_cast<std::size_t>(p.texto.data() - fuente.data()) &&
                  g.largo == p.texto.size() && g.linea == p.linea,
              "a token kept as lexico_php reads it");
        if (p.clase == clase_pieza::fin) {
            exige(k + 1 == lectura.piezas.size(), "the end's token last");
            break;
        }
    }
    // A bound lowered to somewhere among the tokens.
    lectura_php corta;
    corta.maximo = 1 + n % 61;
    exige(compacta_php(fuente, corta) == reglas, "the bound changes no byte");
    std::string movida = reglas;
    if (!movida.empty()) {
        movida.insert(n * 3 / 10 % movida.size(), n % 2 == 0 ? "\n" : " __LINE__");
    }
    for (const std::int64_t desfase : {0, 3}) {
        for (const std::string_view otra :
             {std::string_view(reglas), std::string_view(compactado), fuente,
              std::string_view(sin_uno), std::string_view(movida)}) {
            for (const modo_comparacion modo :
                 {modo_comparacion::programa, modo_comparacion::lineas}) {
                const comparacion hoy = compara_php(fuente, otra, modo, desfase);
                // Whatever share of the source lies in long runs, the kept
                // tokens are read when it is small, the source again when large.
                const std::size_t en_tramos = lectura.en_tramos_largos;
                for (const std::size_t tramos : {std::size_t{0}, lectura.unidades}) {
                    lectura.en_tramos_largos = tramos;
                    const comparacion leida = compara_php(fuente, lectura, otra, modo, desfase);
                    exige(hoy.iguales == leida.iguales && hoy.linea == leida.linea &&
                              hoy.motivo == leida.motivo,
                          "the kept tokens give compara_php's verdict");
                }
                lectura.en_tramos_largos = en_tramos;
                const comparacion seguida = compara_php(fuente, corta, otra, modo, desfase);
                exige(hoy.iguales == seguida.iguales && hoy.linea == seguida.linea &&
                          hoy.motivo == seguida.motivo,
                      "past the bound, the scanner kept reads on as lexico_php");
            }
        }
    }
    exige(reglas.size() <= fuente.size(), "PHP's rules add nothing");
    exige(compacta_php(reglas) == reglas, "PHP's rules twice are PHP's rules once");
    return 0;
}

}  // namespace kexo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t n) {
    return kexo::prueba(datos, n);
}
