// The walk of a source tree: what it holds, in path order, less what the
// patterns exclude, with what each entry was. Links are listed, never
// followed.
#ifndef KEXO_TREE_RECORRIDO_H_
#define KEXO_TREE_RECORRIDO_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/carpeta.h"
#include "tree/exportacion.h"
#include "tree/patrones.h"

namespace kexo {

enum class tipo_entrada : unsigned char {
    carpeta,
    php,
    otro,      // a regular file of another kind
    enlace,    // a symbolic link
    especial,  // a FIFO, socket or device: left out
};

// An index of no entry: as the folder of an entry, the tree's root.
inline constexpr std::size_t kNinguna = SIZE_MAX;

// What the walk saw of an entry, but its identity and links, which the entry
// keeps on its own: held for the whole run by every entry, so in less room
// than a `nodo`. Owners and groups are 32-bit numbers where the system has
// them; UINT32_MAX stands for none (-1), which no file is owned by.
struct visto_entrada {
    visto_entrada() = default;
    explicit visto_entrada(const nodo& n);

    std::int64_t tamano = 0;  // a regular file's bytes
    std::int64_t tiempo = 0;  // its last change, in ns (0 where not told)
    std::uint32_t modo = 0;   // its permission bits
    std::uint32_t dueno = UINT32_MAX;
    std::uint32_t grupo = UINT32_MAX;
    clase_nodo clase = clase_nodo::ninguno;
};

struct entrada {
    std::string ruta;  // from the tree's root, with `/` between names
    tipo_entrada tipo;
    bool varios_nombres = false;    // a file with other hard links
    std::uint64_t dispositivo = 0;  // the file the walk saw, as in `nodo`
    std::uint64_t numero = 0;
    std::size_t padre = kNinguna;      // the entry of the folder holding it
    std::size_t principal = kNinguna;  // the first entry in path order that is this same file
    visto_entrada visto{};             // what the walk saw: size, time, bits, owner
};

// What the walk saw as `que`, as a `nodo`: its links counted 2 when it has
// others, else 1.
nodo visto_de(const entrada& que);

struct filtro {
    std::vector<std::string> extensiones;  // of PHP files, without the dot
    reglas_exclusion excluidos;            // the paths left out
    bool solo_php = false;                 // other files left out too
    reglas_exclusion sin_compactar = {};   // PHP files copied as they are, not compacted
    bool exporta = false;                  // what `.gitattributes` marks export-ignore left out too
    atributos_exportacion exportacion = {};  // read once the walk is done
};

// A folder that could not be read, with the system's error number, or that
// was no longer the folder its listing showed; or the destination's root, when
// the source root's attributes could not be given to it.
struct fallo_recorrido {
    std::string ruta;
    int error;
    bool cambiado = false;
    bool al_escribir = false;
};

// Where the destination lies in the source, as the roots found it: allowed
// only where the rules leave it out, and then never entered.
struct destino_en_origen {
    bool dentro = false;      // it lies in the source, or would be made there
    std::size_t hondura = 0;  // how many forbidden folders, from the first, lie below the root
    // The names still to be made below the first forbidden folder, the
    // nearest to it that exists; none when it exists.
    std::vector<std::string> faltan;
};

// What a walk found.
struct recorrido {
    std::vector<entrada> entradas;  // sorted by path: a folder before what it holds
    std::vector<fallo_recorrido> fallos;
    bool solapa = false;  // a folder met was one of those forbidden
};

// The entries under the folder open as `raiz`, less what `que` leaves out.
// Links are listed, never followed; each folder is opened beneath the root,
// through no link, and only while it is still what its listing showed.
// `prohibidos` are the destination, or where it would be made, and the
// folders it lies in: one met that the rules leave out is not entered;
// another ends the walk with `solapa`, unless `destino` says it lies in the
// source above the destination, which then must be found left out. The rules of `que`
// note which of them matched; those of `sin_compactar` are tried on folders
// and PHP files only. With `solo_php`, a folder that would hold no file is
// left out. The folders are listed on `hilos` threads, each holding one open
// at a time; what is found is the same on any number.
recorrido recorre(const carpeta& raiz, filtro& que, const std::vector<nodo>& prohibidos,
                  const destino_en_origen& destino = {}, unsigned hilos = 1);

// Leaves out of `entradas` (as a walk found them) those `fuera` names and
// all that lies in a folder left out, and with `solo_php` the folders then
// left holding no file; each entry's `padre` and `principal` stay right.
void quita_entradas(std::vector<entrada>& entradas,
                    const std::function<bool(const entrada&)>& fuera, bool solo_php);

// Reads the `.gitattributes` of the root `raiz` and of each folder in
// `hallado` (but those it could not read) into `que.exportacion`, and leaves
// out of `hallado` what they mark export-ignore: with quita_entradas, and the
// folders not read that lie there, which are then left out, not failed.
// What git would warn of goes to `avisos`. Returns 0, or the error number of
// a file that could not be read, whose path goes to `ilegible`; then
// `hallado` is as it was.
int quita_exportadas(const carpeta& raiz, filtro& que, recorrido& hallado,
                     std::vector<std::string>& avisos, std::string& ilegible);

// True when `visto` is still what the walk saw as `que`: the same kind of
// entry and, where the system tells, the same file.
bool sigue_igual(const entrada& que, const nodo& visto);

// The last name of the entry `que`'s path.
std::string nombre_de(const entrada& que);

// True when the name `nombre` ends in one of `extensiones` (in any letter case).
bool tiene_extension(std::string_view nombre, const std::vector<std::string>& extensiones);

}  // namespace kexo

#endif  // KEXO_TREE_RECORRIDO_H_
