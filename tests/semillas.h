// The PHP sources the tests read as real PHP: the fuzz seeds and kexo's
// examples, each with its path.
#ifndef KEXO_TESTS_SEMILLAS_H_
#define KEXO_TESTS_SEMILLAS_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kexo {

// Calls `haz(ruta, fuente)` for every seed; returns how many there were.
template <typename Haz>
int por_cada_semilla(Haz haz) {
    int vistas = 0;
    for (const char* carpeta : {"fuzz/corpus/lexico", "fuzz/corpus/compacta", "examples"}) {
        for (const auto& entrada :
             std::filesystem::directory_iterator(std::filesystem::path(KEXO_FUENTES) / carpeta)) {
            if (entrada.path().extension() != ".php") {
                continue;
            }
            std::ifstream archivo(entrada.path(), std::ios::binary);
            const std::string fuente((std::istreambuf_iterator<char>(archivo)),
                                     std::istreambuf_iterator<char>());
            haz(entrada.path().string(), fuente);
            ++vistas;
        }
    }
    return vistas;
}

}  // namespace kexo

#endif  // KEXO_TESTS_SEMILLAS_H_
