// What a file is, as the system tells it: its kind, identity, size, owner,
// permission bits and times; and how a copy is given its original's, as
// `cp -a` gives them, with the record kept beside a file written.
#ifndef KEXO_COMMON_ATRIBUTOS_H_
#define KEXO_COMMON_ATRIBUTOS_H_

#include <cstdint>
#include <cstdio>
#include <string>

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

class carpeta;

// What a copy takes from its source, as the system told it at one moment:
// its size, owner, group, permission bits and times (seconds and
// nanoseconds apart, so that no date overflows).
struct atributos_origen {
    std::int64_t tamano = -1;
    std::int64_t dueno = -1;  // -1 where files have no owners
    std::int64_t grupo = -1;
    std::uint32_t modo = 0;
    std::int64_t acceso_s = 0;
    std::int64_t acceso_ns = 0;
    std::int64_t cambio_s = 0;
    std::int64_t cambio_ns = 0;
};

// Puts in `vistos` what the file open as `fd` is now. Returns 0, or the
// error number.
int lee_atributos(int fd, atributos_origen& vistos);

// Gives the file open as `fd` the owner `dueno` and group `grupo` where the
// system lets this process (as root), or the group alone, as `cp -a` does;
// then the permission bits `modo`, less setuid when the owner could not be
// kept and setgid when the group could not, so that a copy never runs as
// another user or group than its original's. Returns 0, or the error number
// of setting the bits. Where files have no owners or bits, does nothing.
int conserva_dueno_y_permisos(int fd, std::int64_t dueno, std::int64_t grupo, std::uint32_t modo);

// Lets whoever may read the file open as `fd` run it too, as `chmod +x`
// does within the umask. Returns 0, or the error number; 0 where files
// have no such bits.
int hace_ejecutable(int fd);

// Gives the file open as `fd` the owner, group, permission bits and times
// that its source was seen with as `de`, as a copy does; an owner, group and
// bits the file already has, as the system says after its times are set,
// are not set again. `queda`, when given, gets what the file is then.
// Returns 0, or the error number.
int copia_atributos(int fd, const atributos_origen& de, nodo* queda = nullptr);

// The same with what the file open as `original` is now.
int copia_atributos(int fd, std::FILE* original, nodo* queda = nullptr);

// Gives the link `nombre` in `carpeta` the owner (where this process may) and
// times of the link `original` in `origen`. Returns 0, or the error number.
int copia_atributos_enlace(const carpeta& origen, const std::string& original,
                           const carpeta& carpeta, const char* nombre);

// Gives the folder `copia` what the folder `original` has: as a copy with
// `cp -a`, its owner and group where this process may (as root), its
// permission bits (less setuid and setgid when its owner or group could not
// be kept) and its times. A folder that already has them is not touched.
// Returns 0, or the error number.
int copia_atributos_carpeta(const carpeta& original, const carpeta& copia);

// True when `copia`, the modification time a copy was given, is `original`
// as the copy's file system keeps it: the same, or `original` less its
// fraction of a second where that system keeps whole seconds (ext4 with
// small inodes, among others), which a time of 0 ns a fraction behind tells.
bool mismo_tiempo(std::int64_t original, std::int64_t copia);

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

// Keeps `marca` as the record of the file open as `fd`. Returns 0, or the
// error number (ENOTSUP: no records here).
int pon_marca(int fd, const std::string& marca);

// Makes the folder open as `c`, when it is this process's own and its owner
// may not write in it (its bits copied from a read-only source folder by a
// run before), writable by its owner, so that this run can write and remove
// in it; its bits are set back with its other attributes once it is done.
// Returns 0, or the error number.
int deja_escribir_en(const carpeta& c);

}  // namespace kexo

#endif  // KEXO_COMMON_ATRIBUTOS_H_
