#include "tree/informe.h"

#include <algorithm>
#include <cstdio>

namespace kexo {

namespace {

// How many entries came to each result the summary names.
struct recuento {
    std::size_t compactados = 0;
    std::size_t sin_compactar = 0;
    std::size_t copiados = 0;
    std::size_t fallidos = 0;
    std::uint64_t php_antes = 0;    // bytes of the PHP sources
    std::uint64_t php_despues = 0;  // bytes written for them
};

void cuenta(recuento& r, const entrada& que, const informe_trabajo& informe) {
    switch (informe.resultado) {
        case resultado_trabajo::compactado:
            ++r.compactados;
            break;
        case resultado_trabajo::sin_compactar:
        case resultado_trabajo::demasiado_grande:
            ++r.sin_compactar;
            break;
        case resultado_trabajo::copiado:
            ++r.copiados;
            break;
        case resultado_trabajo::fallido:
        case resultado_trabajo::cambiado:
        case resultado_trabajo::sin_memoria:
            ++r.fallidos;
            break;
        case resultado_trabajo::hecho:
        case resultado_trabajo::omitido:
            break;
    }
    if (que.tipo == tipo_entrada::php) {
        r.php_antes += informe.antes;
        r.php_despues += informe.despues;
    }
}

// The line for an entry that is not plainly done, if any.
void informa_entrada(const entrada& que, const informe_trabajo& informe) {
    const char* ruta = que.ruta.c_str();
    switch (informe.resultado) {
        case resultado_trabajo::sin_compactar:
            std::printf("Sin compactar %s: cambiaria el programa en la linea %lld\n", ruta,
                        static_cast<long long>(informe.linea));
            break;
        case resultado_trabajo::demasiado_grande:
            std::printf("Sin compactar %s: demasiado grande para comprobarlo\n", ruta);
            break;
        case resultado_trabajo::omitido:
            std::printf("Omitido %s: no es un fichero regular\n", ruta);
            break;
        case resultado_trabajo::cambiado:
            std::printf("Cambiado durante la ejecucion %s\n", ruta);
            break;
        case resultado_trabajo::sin_memoria:
            std::printf("Memoria insuficiente para %s\n", ruta);
            break;
        case resultado_trabajo::fallido:
            std::printf(
                informe.al_leer ? "Imposible leer %s (%d)\n" : "Imposible escribir %s (%d)\n", ruta,
                informe.error);
            break;
        default:
            break;
    }
}

// The change in size, as a share of `antes`: a saving, or a growth said as one.
void imprime_ahorro(std::uint64_t antes, std::uint64_t despues) {
    const bool crece = despues > antes;
    const std::uint64_t diferencia = crece ? despues - antes : antes - despues;
    const double parte =
        antes > 0 ? 100.0 * static_cast<double>(diferencia) / static_cast<double>(antes) : 0.0;
    std::printf("(%.1f%% %s)\n", parte, crece ? "mas" : "menos");
}

}  // namespace

progreso::~progreso() {
    if (visible_) {
        std::fputs("\r\033[K", stderr);
    }
}

void progreso::muestra() const {
    if (!visible_) {
        return;
    }
    const double segundos =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio_).count();
    const double mb = static_cast<double>(bytes_.load(std::memory_order_relaxed)) / 1e6;
    std::fprintf(stderr, "\r%zu/%zu ficheros, %.1f MB, %.1f MB/s ",
                 hechos_.load(std::memory_order_relaxed), total_, mb,
                 segundos > 0 ? mb / segundos : 0.0);
}

int informa(const std::vector<entrada>& entradas, const std::vector<informe_trabajo>& informes,
            const std::vector<fallo_recorrido>& fallos_recorrido) {
    for (const fallo_recorrido& f : fallos_recorrido) {
        if (f.cambiado) {
            std::printf("Cambiado durante la ejecucion %s\n", f.ruta.c_str());
        } else {
            std::printf("Imposible leer carpeta %s (%d)\n", f.ruta.c_str(), f.error);
        }
    }
    recuento r;
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        cuenta(r, entradas[i], informes[i]);
        informa_entrada(entradas[i], informes[i]);
    }
    r.fallidos += fallos_recorrido.size();
    std::printf(
        "Compactados %zu, sin compactar %zu, copiados %zu, fallidos %zu; PHP %llu -> %llu bytes ",
        r.compactados, r.sin_compactar, r.copiados, r.fallidos,
        static_cast<unsigned long long>(r.php_antes),
        static_cast<unsigned long long>(r.php_despues));
    imprime_ahorro(r.php_antes, r.php_despues);
    return r.fallidos > 0 ? 1 : 0;
}

}  // namespace kexo
