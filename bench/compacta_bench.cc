// The compaction core alone, on generated CR LF PHP sources of 1, 10 and 100 MB.
#include <benchmark/benchmark.h>

#include <string>

#include "compaction/compacta.h"

namespace {

// A source of at least `tamano` bytes made of one typical PHP block repeated.
std::string fuente_de(std::size_t tamano) {
    const std::string bloque =
        "// computes the value for the current request\r\n"
        "function calcula($entrada, $opciones = array())\r\n"
        "{\r\n"
        "    $url = 'https://example.com/api//v1/items'; // endpoint\r\n"
        "    $texto = \"He said \\\"hello\\\" // not a comment\";\r\n"
        "    $cita = 'it\\'s // fine';\r\n"
        "\r\n"
        "    foreach ($opciones as $clave => $valor) {\r\n"
        "        if ($valor > 10) {   // threshold\r\n"
        "            $entrada[$clave] = $valor * 3;\r\n"
        "        }\r\n"
        "    }\r\n"
        "    return $entrada;\r\n"
        "}\r\n"
        "?>\r\n<div class=\"item\">\r\n  <a "
        "href=\"http://example.com/\">Item</a>\r\n</div>\r\n<?php\r\n";
    std::string fuente = "<?php\r\n";
    while (fuente.size() < tamano) {
        fuente += bloque;
    }
    return fuente + "?>\r\n";
}

void BM_compacta_fuente(benchmark::State& estado) {
    const std::string fuente = fuente_de(static_cast<std::size_t>(estado.range(0)) << 20);
    for (auto _ : estado) {
        texto_compactado texto = compacta_fuente(fuente);
        benchmark::DoNotOptimize(texto.bytes.data());
    }
    estado.SetBytesProcessed(estado.iterations() * static_cast<std::int64_t>(fuente.size()));
}

// What the tool runs: the source in 1 MiB pieces through reused buffers.
void BM_compactador(benchmark::State& estado) {
    const std::string fuente = fuente_de(static_cast<std::size_t>(estado.range(0)) << 20);
    const std::size_t trozo = std::size_t{1} << 20;
    for (auto _ : estado) {
        compactacion en_curso;
        std::size_t dados = 0;
        const receptor cuenta = [&dados](std::string_view bytes) { dados += bytes.size(); };
        for (std::size_t i = 0; i < fuente.size(); i += trozo) {
            en_curso.anade(std::string_view(fuente).substr(i, trozo), cuenta);
        }
        benchmark::DoNotOptimize(en_curso.concluye(cuenta).bytes.data());
        benchmark::DoNotOptimize(dados);
    }
    estado.SetBytesProcessed(estado.iterations() * static_cast<std::int64_t>(fuente.size()));
}

// The whole source at once: one fresh result buffer per run, whose page
// faults show at 100 MB.
BENCHMARK(BM_compacta_fuente)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compactador)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
