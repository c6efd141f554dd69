// The compaction core alone, as the tool runs it (1 MiB pieces), along each
// way of scanning this processor runs: on generated CR LF PHP of 1, 10 and
// 100 MB, and on the real PHP in the file that KEXO_FUENTE_REAL names, when it
// is set (bench/bench.py sets it), cut to 1, 10 and 100 MB. A summary follows:
// the ways side by side, the one this processor picks, and a loud warning
// when another was more than 10 % faster.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

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
        const char* via = std::getenv("KEXO_FUENTE_REAL");
        std::ifstream f(via != nullptr ? via : "", std::ios::binary);
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
void compacta(benchmark::State& estado, bool es_real, std::size_t tamano, via_escaneo via) {
    const std::string& fuente = fuente_de(es_real, tamano);
    const std::size_t trozo = std::size_t{1} << 20;
    for (auto _ : estado) {
        compactacion en_curso(via);
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

const struct {
    const char* nombre;
    via_escaneo via;
} kRutas[] = {{"stops", via_escaneo::por_paradas},
              {"blocks-avx2", via_escaneo::bloques_avx2},
              {"blocks-avx512", via_escaneo::bloques_avx512}};

constexpr const char* kFuentes[] = {"generated", "real"};
constexpr unsigned kMegas[] = {1, 10, 100};

std::string nombre_de_medida(const char* fuente, const char* via, unsigned mb) {
    return std::string(fuente) + "/" + via + "/" + std::to_string(mb) + "MB";
}

// Prints each run as the console does, and keeps the bytes per second of
// each benchmark's runs, repetitions included, or of their median when only
// the aggregates are shown.
class anotador : public benchmark::ConsoleReporter {
   public:
    anotador() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto contador = run.counters.find("bytes_per_second");
            if (run.error_occurred || contador == run.counters.end()) {
                continue;
            }
            if (run.run_type == Run::RT_Iteration) {
                medidas_[run.run_name.str()].push_back(contador->second.value);
            } else if (run.aggregate_name == "median") {
                medianas_[run.run_name.str()] = contador->second.value;
            }
        }
    }

    // The median bytes per second of the benchmark `nombre`; 0 when it did not run.
    double mediana(const std::string& nombre) const {
        if (const auto dada = medianas_.find(nombre); dada != medianas_.end()) {
            return dada->second;
        }
        const auto donde = medidas_.find(nombre);
        if (donde == medidas_.end() || donde->second.empty()) {
            return 0;
        }
        std::vector<double> valores = donde->second;
        std::sort(valores.begin(), valores.end());
        const std::size_t n = valores.size();
        return n % 2 == 1 ? valores[n / 2] : (valores[n / 2 - 1] + valores[n / 2]) / 2;
    }

   private:
    std::map<std::string, std::vector<double>> medidas_;
    std::map<std::string, double> medianas_;
};

// The ways side by side for each source and size measured, in GB/s (10^9
// bytes a second), the way this processor picks named, and a warning for each
// source and size where another way was more than 10 % faster.
void resume(const anotador& medido) {
    const via_escaneo elegida = via_de_este_procesador();
    std::printf("\nsummary, GB/s (10^9 bytes a second, the median of the repetitions):\n");
    std::printf("%-10s %6s", "source", "size");
    for (const auto& r : kRutas) {
        std::printf(" %8s", nombre_de(r.via));
    }
    std::printf("  fastest\n");
    std::vector<std::string> avisos;
    for (const char* fuente : kFuentes) {
        for (const unsigned mb : kMegas) {
            std::string linea;
            const char* rapida = nullptr;
            double mejor = 0;
            double de_la_elegida = 0;
            char celda[32];
            for (const auto& r : kRutas) {
                const double gb = medido.mediana(nombre_de_medida(fuente, r.nombre, mb)) / 1e9;
                if (gb > 0) {
                    std::snprintf(celda, sizeof celda, " %8.2f", gb);
                } else {
                    std::snprintf(celda, sizeof celda, " %8s", "-");
                }
                linea += celda;
                if (gb > mejor) {
                    mejor = gb;
                    rapida = nombre_de(r.via);
                }
                de_la_elegida = r.via == elegida ? gb : de_la_elegida;
            }
            if (rapida == nullptr) {
                continue;  // nothing measured for this source and size
            }
            std::printf("%-10s %4uMB%s  %s\n", fuente, mb, linea.c_str(), rapida);
            if (de_la_elegida > 0 && de_la_elegida < 0.9 * mejor) {
                char aviso[160];
                std::snprintf(aviso, sizeof aviso, "%s %u MB: %s %.2f GB/s, %s %.2f GB/s", fuente,
                              mb, nombre_de(elegida), de_la_elegida, rapida, mejor);
                avisos.emplace_back(aviso);
            }
        }
    }
    std::printf("this processor picks: %s\n", nombre_de(elegida));
    for (const std::string& aviso : avisos) {
        std::printf(
            "*** WARNING: THE WAY PICKED IS MORE THAN 10 %% SLOWER THAN THE FASTEST: %s ***\n",
            aviso.c_str());
    }
}

}  // namespace

int ejecuta(int argc, char** argv) {
    for (const char* fuente : kFuentes) {
        const bool es_real = fuente == kFuentes[1];
        for (const auto& r : kRutas) {
            for (const unsigned mb : kMegas) {
                const std::size_t tamano = std::size_t{mb} * 1000000;
                if (!admite(r.via) || (es_real && real_entera().size() < tamano)) {
                    continue;  // not on this processor, or no real source given
                }
                benchmark::RegisterBenchmark(nombre_de_medida(fuente, r.nombre, mb).c_str(),
                                             compacta, es_real, tamano, r.via)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    anotador medido;
    benchmark::RunSpecifiedBenchmarks(&medido);
    benchmark::Shutdown();
    resume(medido);
    return 0;
}

}  // namespace kexo
int main(int argc, char** argv) {
    return kexo::ejecuta(argc, argv);
}
