// Folders and their entries, worked on relative to an open folder where the
// system allows it: a name is then looked up in that very folder, whatever
// happens meanwhile to the path that led there, and no link is followed on
// the way. Where the system has no such calls, a folder is its path.
#ifndef KEXO_COMMON_CARPETA_H_
#define KEXO_COMMON_CARPETA_H_

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/atributos.h"
#include "common/descriptor.h"

namespace kexo {

// A folder open to work in: a descriptor, or where the system works by paths,
// its path ending in a separator. Closed when it goes out of scope.
class carpeta {
   public:
    carpeta() = default;
    carpeta(carpeta&&) noexcept = default;
    carpeta& operator=(carpeta&&) noexcept = default;
    carpeta(const carpeta&) = delete;
    carpeta& operator=(const carpeta&) = delete;

    // Takes the folder open as `abierta`, or the folder at `prefijo`.
    static carpeta de_descriptor(descriptor abierta) {
        carpeta c;
        c.fd_ = std::move(abierta);
        return c;
    }
    static carpeta de_prefijo(std::string prefijo) {
        carpeta c;
        c.prefijo_ = std::move(prefijo);
        return c;
    }

    bool abierta() const { return fd_.abierto() || !prefijo_.empty(); }
    // The descriptor, or -1 where names are whole paths.
    int fd() const { return fd_.fd(); }
    // What goes before a name in the folder: "" beside a descriptor.
    const std::string& prefijo() const { return prefijo_; }
    void cierra() {
        fd_.cierra();
        prefijo_.clear();
    }

   private:
    descriptor fd_;
    std::string prefijo_;
};

// Opens the folder at `ruta`, a path given by the user: its links are
// followed. Returns 0, or the error number (ENOTDIR: not a folder).
int abre_carpeta(const std::string& ruta, carpeta& abierta);

// Opens the folder at `ruta` (names separated by `/`) beneath `base`,
// following no link on the way, and says in `visto` what it is. Returns 0, or
// the error number (ELOOP: a link on the way).
int abre_carpeta_bajo(const carpeta& base, const std::string& ruta, carpeta& abierta, nodo& visto);

// Opens the folder at `ruta` as the system resolves it, its links followed;
// where it does not exist, the nearest folder it would lie in, or with `crea`
// it and the folders it needs, made now. `existe` says whether `abierta` is
// the folder at `ruta` itself; `faltan`, when given, gets the names that were
// missing below the nearest folder that existed, in order (none when the
// folder at `ruta` was made meanwhile by another process, not here). Returns
// 0, or the error number.
int abre_o_crea_carpeta(const std::string& ruta, bool crea, carpeta& abierta, bool& existe,
                        std::vector<std::string>* faltan = nullptr);

// Whether the folder `dentro` lies on the mount `raiz` lies on: a bind mount
// of the same file system told apart where the kernel numbers mounts, else by
// device. Returns 0 when it does, EXDEV when it does not, or the error number
// when the system cannot tell.
int mismo_montaje(const carpeta& raiz, const carpeta& dentro);

// The entries of the folder `c`, but `.` and `..`, with what each is; with
// `empiezan`, only those whose names start so. Returns 0, or the error number
// of reading the folder.
int lista_carpeta(const carpeta& c, std::vector<std::pair<std::string, nodo>>& entradas,
                  const std::string& empiezan = std::string());

// What the entry `nombre` of `c` is, its link not followed (clase ninguno:
// there is none). Returns 0, or the error number.
int examina_en(const carpeta& c, const std::string& nombre, nodo& visto);

// Opens into `abierta` the folder of the file `ruta`, and puts in `nombre`
// the name that file has for the calls below: a bare name beside a
// descriptor, else (where a folder is its path) the whole path. Returns 0, or
// the error number.
int abre_carpeta_de(const std::string& ruta, carpeta& abierta, std::string& nombre);

// The last name of the path `ruta` given by the user: what follows its last separator.
std::string ultimo_nombre(const std::string& ruta);

// The nodes of the folder `c` and of every folder above it, nearest first,
// as `..` leads, across mounts. Returns 0, or the error number.
int ascendencia(const carpeta& c, std::vector<nodo>& cadena);

// Makes the folder `nombre` in `padre`, unless one is there: another kind of
// entry there (a link, a file) is removed first, never followed. Returns 0,
// or the error number; `ya_estaba`, when given, tells a folder found there
// (made meanwhile by another process) from one made here.
int crea_carpeta_en(const carpeta& padre, const std::string& nombre, bool* ya_estaba = nullptr);

// Removes the entry `nombre` of `c`, and when it is a folder all it holds,
// deepest first: a link is removed itself, never followed; a folder is
// entered only as a folder (never through a link), and never one on another
// device or one that `intocable` refuses. `avisa` is told of each entry
// removed, by its path from `c`; with `simula`, of each entry that would be,
// and nothing is removed. An entry within that `deja` (when given) names by
// its path from `c` is left alone, unsaid, with the folders that hold it.
// Returns 0, or the first error number met.
int borra_arbol_en(const carpeta& c, const std::string& nombre, bool simula,
                   const std::function<bool(const nodo&)>& intocable,
                   const std::function<void(const std::string&, const nodo&, int)>& avisa,
                   const std::function<bool(const std::string&, const nodo&)>& deja = nullptr);

}  // namespace kexo

#endif  // KEXO_COMMON_CARPETA_H_
