// Files: opening one only if it is a regular file, reading and copying its
// bytes, and the calls that make, link, name and remove entries, relative to
// an open folder where the system allows it.
#ifndef KEXO_COMMON_FICHEROS_H_
#define KEXO_COMMON_FICHEROS_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/archivo.h"
#include "common/atributos.h"
#include "common/descriptor.h"

namespace kexo {

class carpeta;

// True when `origen` is a directory.
bool es_directorio(std::FILE* origen);

// The size of `origen` when it is a regular file, else -1.
std::int64_t tamano_de(std::FILE* origen);

// Opens `ruta` with fopen's `modo` for reading if it is a regular file;
// otherwise, or when it cannot be opened, returns null. Never waits: a FIFO
// without a writer, a device or a folder is refused at once.
archivo abre_si_regular(const char* ruta, const char* modo);

// True when `ruta` names the file open as `origen` (through any link).
bool mismo_fichero(std::FILE* origen, const char* ruta);

// The separator between a folder and a name in a path.
extern const char kSeparadorRuta;

// True where the system reads files in text mode (Windows: CR LF becomes LF,
// and 0x1A ends the text); elsewhere such a read is done by hand.
extern const bool kHayModoTexto;

// The descriptor of the stream `flujo`.
int descriptor_de(std::FILE* flujo);

// Lets the file open as `fd` be read again after a read refused with EAGAIN:
// a source is opened without waiting (a FIFO must not hold the run up), and
// a regular file's reads ignore that on Linux, but not on every file system
// (one served by a process, say). Returns true when the descriptor was
// non-blocking and now waits, so that the read is to be tried again.
bool lee_esperando(int fd);

// What a read came to: the bytes read (0 at the file's end), or the error
// number of the read that failed.
struct leido {
    std::size_t bytes = 0;
    int error = 0;
};

// Reads up to `n` bytes of the file open as `fd` at its position into
// `bytes`, tried again when interrupted or refused with EAGAIN (see
// lee_esperando).
leido lee_descriptor(int fd, char* bytes, std::size_t n);

// A stream over the descriptor `fd`, opened with fopen's `modo`, which
// closes it from then on; null, with errno and `fd` closed, when it cannot be made.
archivo abre_descriptor(descriptor fd, const char* modo);

// What a copy of a file's bytes came to.
struct copia_hecha {
    std::uint64_t bytes;  // bytes of the source
    int error;            // 0, or the error number of the copy
    bool al_leer;         // the error came from reading, not writing
};

// Copies every byte of `origen` from its start into `destino` from its start,
// in bounded pieces whatever the size, through the kernel where it can, and
// keeps the source's holes where the system tells them. `bloque` is room to
// reuse when the bytes must pass through memory. `despues`, when given, gets
// what the source is once copied (unless the copy fails), the attributes its
// copy is to take.
copia_hecha copia_contenido(std::FILE* origen, std::FILE* destino, std::string& bloque,
                            atributos_origen* despues = nullptr);

// Reads up to `n` bytes at `en` of the file open as `fd` (open for reading
// too) into `bytes`, leaving its position alone.
leido lee_en(int fd, char* bytes, std::size_t n, std::int64_t en);

// Appends `n` bytes of the file open as `de`, from `en` on, to the file open
// as `a`, at its position, which it moves past them: inside the kernel, never
// through this process's memory. `hechos` counts those copied. Returns 0, or
// the error number; ENOSYS (and EXDEV, EINVAL, EOPNOTSUPP, EBADF) where the
// system copies no more so between these files: the rest is to go another way.
int anade_por_el_nucleo(int de, std::int64_t en, int a, std::uint64_t n, std::uint64_t& hechos);

// Writes the `n` bytes at `bytes` over the file open as `fd`, from `en`
// on, leaving its position alone. Returns 0, or the error number.
int sobrescribe_en(int fd, const char* bytes, std::size_t n, std::int64_t en);

// Opens the entry `nombre` of `c` to read, only if it is a regular file:
// never through a link, never waiting (a FIFO, a device). `visto` says what
// the entry was. Returns 0 with the file in `abierto`, or the error number;
// then `visto.clase` is ninguno when the entry could not be looked at at all.
int abre_fichero_en(const carpeta& c, const std::string& nombre, nodo& visto, archivo& abierto);

// Puts in `objetivo` the target of the link `nombre` in `c`. Returns 0, or the
// error number (EINVAL: not a link).
int lee_enlace_en(const carpeta& c, const std::string& nombre, std::string& objetivo);

// Makes an unnamed file in `carpeta` (Linux's O_TMPFILE) into `hecho`.
// Returns 0, or the error number: EOPNOTSUPP where the system or file system
// has no such files, and a named one is to be made instead.
int crea_sin_nombre(const carpeta& carpeta, descriptor& hecho);

// Makes the new file `nombre` in `carpeta` into `hecho`, only if no entry has
// that name. Returns 0, or the error number (EEXIST: the name is taken).
int crea_exclusivo(const carpeta& carpeta, const char* nombre, descriptor& hecho);

// Links the unnamed file open as `fd` in as `nombre`. Returns 0, or the
// error number (EEXIST: the name is taken).
int enlaza_sin_nombre(const carpeta& carpeta, int fd, const char* nombre);

// Makes the link `nombre` to `objetivo` in `carpeta`, only if no entry has
// that name. Returns 0, or the error number (EEXIST: the name is taken).
int crea_enlace_simbolico(const carpeta& carpeta, const char* nombre, const std::string& objetivo);

// Makes `nombre` in `a` another name (a hard link) of the file `original` in
// `de`, only if no entry has that name. Returns 0, or the error number.
int crea_enlace_duro(const carpeta& de, const char* original, const carpeta& a, const char* nombre);

// Puts the file `de` in the place of `a`, replacing it, at once. Returns 0,
// or the error number.
int renombra(const carpeta& carpeta, const char* de, const char* a);

// Removes the entry `nombre` of the folder open as `carpeta` (-1: a whole
// path). Safe in a signal handler.
void borra_entrada(int carpeta, const char* nombre);

// True when standard output writes to the file open as `fd`.
bool es_salida_estandar(int fd);

}  // namespace kexo

#endif  // KEXO_COMMON_FICHEROS_H_
