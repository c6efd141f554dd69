// Folders and their entries, worked on relative to an open folder where the
// system allows it: a name is then looked up in that very folder, whatever
// happens meanwhile to the path that led there, and no link is followed on
// the way. Where the system has no such calls, a folder is its path.
#ifndef KEXO_COMMON_CARPETA_H_
#define KEXO_COMMON_CARPETA_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/archivo.h"
#include "common/descriptor.h"

namespace kexo {

enum class clase_nodo : unsigned char {
    ninguno,  // no such entry
    carpeta,
    fichero,  // a regular file
    enlace,   // a symbolic link
    otro,     // a FIFO, socket or device
};

// What an entry is, its link not followed: its kind, and the device and
// number that tell one file from another however it is named (0 where the
// system gives none cheaply).
struct nodo {
    clase_nodo clase = clase_nodo::ninguno;
    std::uint64_t dispositivo = 0;
    std::uint64_t numero = 0;
    std::uint64_t nombres = 1;  // a file's hard links
    std::int64_t tamano = 0;    // a regular file's bytes
    std::int64_t tiempo = 0;    // its last change, in ns (0 where not told)
    std::uint32_t modo = 0;     // its permission bits
    std::int64_t dueno = -1;    // its owner and group (-1 where files have none)
    std::int64_t grupo = -1;
};

// True when `a` and `b` are known to be the same file.
inline bool mismo_nodo(const nodo& a, const nodo& b) {
    return a.numero != 0 && a.numero == b.numero && a.dispositivo == b.dispositivo;
}

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

// Opens the entry `nombre` of `c` to read, only if it is a regular file:
// never through a link, never waiting (a FIFO, a device). `visto` says what
// the entry was. Returns null, with errno, when it is not opened; then
// `visto.clase` is ninguno when the entry could not be looked at at all.
archivo abre_fichero_en(const carpeta& c, const std::string& nombre, nodo& visto);

// Puts in `objetivo` the target of the link `nombre` in `c`. Returns 0, or the
// error number (EINVAL: not a link).
int lee_enlace_en(const carpeta& c, const std::string& nombre, std::string& objetivo);

// The nodes of the folder `c` and of every folder above it, nearest first,
// as `..` leads, across mounts. Returns 0, or the error number.
int ascendencia(const carpeta& c, std::vector<nodo>& cadena);

// Gives the folder `copia` what the folder `original` has: as a copy with
// `cp -a`, its owner and group where this process may (as root), its
// permission bits (less setuid and setgid when its owner or group could not
// be kept) and its times. A folder that already has them is not touched.
// Returns 0, or the error number.
int copia_atributos_carpeta(const carpeta& original, const carpeta& copia);

// True when a folder seen as `copia` already has what copia_atributos_carpeta
// would give it from one seen as `original` (access times aside: reading the
// copy changes them).
bool atributos_iguales(const nodo& original, const nodo& copia);

// What a file written holds of its making: a short record kept beside its
// bytes (an extended attribute on POSIX), read back by the next run to tell
// whether the file is still what it would write.

// Reads the record of the entry `nombre` of `c` into `marca` (empty: none),
// its link not followed, and says in `visto` what the entry is; only a
// regular file is opened. Returns 0, or the error number: ENOTSUP where the
// system or its file system keeps no records.
int lee_marca_en(const carpeta& c, const std::string& nombre, nodo& visto, std::string& marca);

// What the file open as `fd` is now. Returns 0, or the error number.
int nodo_de_descriptor(int fd, nodo& visto);

// Reads up to `n` bytes at `en` of the file open as `fd` (open for reading
// too) into `bytes`, leaving its position alone. Returns the bytes read (0 at
// its end), or -1 with errno.
std::int64_t lee_en(int fd, char* bytes, std::size_t n, std::int64_t en);

// Keeps `marca` as the record of the file open as `fd`. Returns 0, or the
// error number (ENOTSUP: no records here).
int pon_marca(int fd, const std::string& marca);

// Makes the folder open as `c`, when it is this process's own and its owner
// may not write in it (its bits copied from a read-only source folder by a
// run before), writable by its owner, so that this run can write and remove
// in it; its bits are set back with its other attributes once it is done.
// Returns 0, or the error number.
int deja_escribir_en(const carpeta& c);

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
