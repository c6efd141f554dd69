// The walk of a source tree: what it holds, in path order, less what the
// patterns exclude. Links are listed, never followed.
#ifndef KEXO_TREE_RECORRIDO_H_
#define KEXO_TREE_RECORRIDO_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kexo {

enum class tipo_entrada : unsigned char {
    carpeta,
    php,
    otro,      // a regular file of another kind
    enlace,    // a symbolic link
    especial,  // a FIFO, socket or device: left out
};

struct entrada {
    std::string ruta;  // from the tree's root, with `/` between names
    tipo_entrada tipo;
};

struct filtro {
    std::vector<std::string> extensiones;  // of PHP files, without the dot
    std::vector<std::string> excluidos;    // patterns of paths left out
    bool solo_php = false;                 // other files left out too
};

// A folder that could not be read, with the system's error number.
struct fallo_recorrido {
    std::string ruta;
    int error;
};

// The entries under `raiz`, sorted by path, so that a folder comes before
// what it holds; folders that cannot be read go to `fallos`.
std::vector<entrada> recorre(const std::filesystem::path& raiz, const filtro& que,
                             std::vector<fallo_recorrido>& fallos);

// True when `ruta` matches `patron`: `*` stands for any bytes but `/`, `?` for
// one. A pattern with a `/` is matched against the whole path, one without
// against the last name only.
bool coincide_patron(std::string_view patron, std::string_view ruta);

// True when the name `nombre` ends in one of `extensiones` (in any letter case).
bool tiene_extension(std::string_view nombre, const std::vector<std::string>& extensiones);

}  // namespace kexo

#endif  // KEXO_TREE_RECORRIDO_H_
