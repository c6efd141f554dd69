// The work on one entry of the tree: a PHP file compacted (or left as it is
// when the compaction would change its program), another file copied, a link
// recreated, a folder made. Files are written whole or not at all.
#ifndef KEXO_TREE_TRABAJO_H_
#define KEXO_TREE_TRABAJO_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "compaction/escanea.h"
#include "tree/recorrido.h"

namespace kexo {

struct opciones_trabajo {
    std::string scopy;      // the notice, put before compacted code
    bool comprueba = true;  // compact only what keeps its program
    bool simula = false;    // write nothing
    // The way of scanning.
    ruta_escaneo ruta = ruta_de_este_procesador();
};

enum class resultado_trabajo : unsigned char {
    compactado,     // kexo's bytes
    sin_compactar,  // the source's bytes: the compaction changes its program
    copiado,
    hecho,  // a folder or link
    fallido,
    omitido,  // not a regular file, folder or link
};

struct informe_trabajo {
    resultado_trabajo resultado = resultado_trabajo::hecho;
    std::uint64_t antes = 0;    // the bytes of the source
    std::uint64_t despues = 0;  // the bytes written
    std::int64_t linea = 0;     // sin_compactar: where the program would change
    int error = 0;              // fallido: the system's error number
    bool al_leer = false;       // fallido: on reading, not writing
};

// What a worker reuses from one file to the next.
struct taller {
    std::string fuente;
};

// Does the work on `que`, from under `origen` to under `destino`. A folder is
// made here; its permission bits and times are set by `remata_carpeta`.
informe_trabajo procesa_entrada(const std::filesystem::path& origen,
                                const std::filesystem::path& destino, const entrada& que,
                                const opciones_trabajo& opciones, taller& banco);

// Gives the folder `que` under `destino` the permission bits and times of
// the one under `origen`, once all it holds is written.
informe_trabajo remata_carpeta(const std::filesystem::path& origen,
                               const std::filesystem::path& destino, const entrada& que);

}  // namespace kexo

#endif  // KEXO_TREE_TRABAJO_H_
