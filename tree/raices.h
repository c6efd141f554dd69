// The two roots of a mirror, opened before anything is written: the source
// folder, and the destination folder (made if need be), each with the
// folders above it, so that an overlap is told by what the folders are, not
// by how their paths are spelled (links, `..` and bind mounts included).
#ifndef KEXO_TREE_RAICES_H_
#define KEXO_TREE_RAICES_H_

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
};

// What opening the roots came to.
enum class apertura_raices : unsigned char {
    bien,
    sin_origen,   // the source cannot be opened as a folder
    sin_destino,  // the destination cannot be opened or made
    solapan,      // one lies in the other, or both are one
};

// Opens the source folder `origen` and the destination `destino`, if it
// exists, into `r`, and checks that they do not overlap. On failure `error`
// holds the system's error number, if any.
apertura_raices abre_raices(const std::string& origen, const std::string& destino, raices& r,
                            int& error);

// Makes the destination `destino` of `r` where it is missing, opens it again
// and checks the overlap again: a link may have been put on its path meanwhile.
apertura_raices crea_destino(const std::string& destino, raices& r, int& error);

}  // namespace kexo

#endif  // KEXO_TREE_RAICES_H_
