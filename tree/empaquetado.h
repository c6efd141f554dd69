// A tree packed into one archive: each entry's work done on the workers, in
// any order, and appended by one writer in path order, with a bounded window
// of finished entries between them, so that memory does not grow with the tree.
#ifndef KEXO_TREE_EMPAQUETADO_H_
#define KEXO_TREE_EMPAQUETADO_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/cronometro.h"
#include "salida/paquete.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {

struct opciones_empaquetado {
    std::string prefijo;      // the folder inside the archive that holds every entry, or ""
    std::int64_t epoca = -1;  // SOURCE_DATE_EPOCH: later times are written as it; -1: none
    // The format has no links (PHAR): a link to a file of the source is stored
    // as that file, any other link left out.
    bool sin_enlaces = false;
    // The format keeps only the folders that hold nothing (PHAR).
    bool solo_carpetas_vacias = false;
    nodo raiz;  // what the source's root is: the prefix folder's bits and time
};

// The time an archive gives an entry seen with `tiempo_ns`: whole seconds,
// no later than `epoca` when there is one.
std::int64_t tiempo_en_paquete(std::int64_t tiempo_ns, std::int64_t epoca);

// The permission bits an archive gives an entry seen with `modo`: setuid and
// setgid cleared.
std::uint32_t modo_en_paquete(std::uint32_t modo);

// The path of `ruta` inside an archive whose entries go under `prefijo`.
std::string ruta_en_paquete(std::string_view prefijo, std::string_view ruta);

// The entry a link of the walk leads to, followed within the source only,
// through the entries the walk found: its index, or kNinguna with why in
// `error`: ENOENT (to nothing the walk found), EXDEV (out of the source),
// EISDIR (to a folder), ELOOP (too many links on the way).
std::size_t destino_de_enlace(const std::vector<entrada>& entradas, std::size_t enlace,
                              const std::function<int(std::size_t, std::string&)>& lee_objetivo,
                              int& error);

// What packing came to: each entry's report, in the entries' order, and the
// first error of writing the archive (0: none).
struct empaquetado {
    std::vector<informe_trabajo> informes;
    int error = 0;
};

// Packs the entries of `obra` into `escritor` (null: a dry run, which only
// does the work to report it) on up to `hilos_pedidos` workers, the calling
// thread writing. Never throws for an entry: its memory running out is
// reported for it. Writing stops at the first error.
empaquetado empaqueta(const espejo& obra, const opciones_empaquetado& como,
                      escritor_paquete* escritor, unsigned hilos_pedidos, tiempos_fases* tiempos);

}  // namespace kexo

#endif  // KEXO_TREE_EMPAQUETADO_H_
