// The two roots of a mirror, opened before anything is written: the source
// folder, and the destination folder (made if need be), each with the
// folders above it, so that an overlap is told by what the folders are, not
// by how their paths are spelled (links, `..` and bind mounts included).
#ifndef KEXO_TREE_RAICES_H_
#define KEXO_TREE_RAICES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "common/carpeta.h"

namespace kexo {

struct raices {
    carpeta origen;
    carpeta destino;
    std::vector<nodo> sobre_origen;   // the source and the folders above it
    std::vector<nodo> sobre_destino;  // the destination, or where it would be, and those above
    bool destino_existe = false;
    // The destination lies in the source, or would be made there: allowed
    // only where the walk finds it left out. `hondura` says how many of
    // sobre_destino, from the first, lie below the source's root.
    bool dentro_del_origen = false;
    std::size_t hondura = 0;
    // The names of the destination still to be made below sobre_destino's first.
    std::vector<std::string> faltan;
};

// What opening the roots came to.
enum class apertura_raices : unsigned char {
    bien,
    sin_origen,   // the source cannot be opened as a folder
    sin_destino,  // the destination cannot be opened or made
    solapan,      // one lies in the other, or both are one
};

// Opens the source folder `origen` and the destination `destino`, if it
// exists, into `r`, and checks that the source does not lie in the
// destination nor is it. A destination in the source is not refused here but
// noted in `r`, for the walk to tell. On failure `error` holds the system's
// error number, if any.
apertura_raices abre_raices(const std::string& origen, const std::string& destino, raices& r,
                            int& error);

// Makes the destination `destino` of `r` where it is missing, opens it again
// and checks the overlap again: a link may have been put on its path
// meanwhile. A destination in the source must lie where it lay when opened
// first, below the same folders.
apertura_raices crea_destino(const std::string& destino, raices& r, int& error);

}  // namespace kexo

#endif  // KEXO_TREE_RAICES_H_
