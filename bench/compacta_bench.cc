// The compaction core alone, as the tool runs it (1 MiB pieces), along each
// way of scanning this processor runs: on generated CR LF PHP of 1, 10 and
// 100 MB, and on the real PHP in the file that KEXO_FUENTE_REAL names, when it
// is set (bench/bench.py sets it), cut to 1, 10 and 100 MB.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "compaction/compacta.h"

namespace kexo {

namespace {

// A source of at least `tamano` bytes made of one typical PHP block repeated.
std::string generada(std::size_t tamano) {
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

const std::string& real_entera() {
    static const std::string todo = [] {
        const char* ruta = std::getenv("KEXO_FUENTE_REAL");
        std::ifstream f(ruta != nullptr ? ruta : "", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }();
    return todo;
}

// The source of each benchmark, made the first time it runs.
const std::string& fuente_de(bool es_real, std::size_t tamano) {
    static std::map<std::pair<bool, std::size_t>, std::string> hechas;
    auto [donde, nueva] = hechas.try_emplace({es_real, tamano});
    if (nueva) {
        donde->second = es_real ? real_entera().substr(0, tamano) : generada(tamano);
    }
    return donde->second;
}

// What the tool runs: the source in 1 MiB pieces through reused buffers.
void compacta(benchmark::State& estado, bool es_real, std::size_t tamano, ruta_escaneo ruta) {
    const std::string& fuente = fuente_de(es_real, tamano);
    const std::size_t trozo = std::size_t{1} << 20;
    for (auto _ : estado) {
        compactacion en_curso(ruta);
        std::size_t dados = 0;
        const receptor cuenta = [&dados](std::string_view bytes) { dados += bytes.size(); };
        for (std::size_t i = 0; i < fuente.size(); i += trozo) {
            en_curso.anade(std::string_view(fuente).substr(i, trozo), cuenta);
        }
        benchmark::DoNotOptimize(en_curso.concluye(cuenta));
        benchmark::DoNotOptimize(dados);
    }
    estado.SetBytesProcessed(estado.iterations() * static_cast<std::int64_t>(fuente.size()));
}

}  // namespace

int ejecuta(int argc, char** argv) {
    const struct {
        const char* nombre;
        ruta_escaneo ruta;
    } rutas[] = {{"stops", ruta_escaneo::por_paradas},
                 {"blocks-avx2", ruta_escaneo::bloques_avx2},
                 {"blocks-avx512", ruta_escaneo::bloques_avx512}};
    for (const bool es_real : {false, true}) {
        for (const auto& r : rutas) {
            for (const std::size_t mb : {1u, 10u, 100u}) {
                const std::size_t tamano = mb * 1000000;
                if (!admite(r.ruta) || (es_real && real_entera().size() < tamano)) {
                    continue;  // not on this processor, or no real source given
                }
                const std::string nombre = std::string(es_real ? "real" : "generated") + "/" +
                                           r.nombre + "/" + std::to_string(mb) + "MB";
                benchmark::RegisterBenchmark(nombre.c_str(), compacta, es_real, tamano, r.ruta)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace kexo
int main(int argc, char** argv) {
    return kexo::ejecuta(argc, argv);
}
