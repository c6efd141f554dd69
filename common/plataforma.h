// What differs between the systems kexo runs on: what kind of file a stream
// is, opening a file only if it is a regular one, how two names are told to
// be one file, copying a file's bytes, owners and processes.
#ifndef KEXO_COMMON_PLATAFORMA_H_
#define KEXO_COMMON_PLATAFORMA_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/archivo.h"
#include "common/descriptor.h"

namespace kexo {

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

// This process's number.
long numero_de_proceso();

// The descriptor of the stream `flujo`.
int descriptor_de(std::FILE* flujo);

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

// Lets the file open as `fd` be read again after a read refused with EAGAIN:
// a source is opened without waiting (a FIFO must not hold the run up), and
// a regular file's reads ignore that on Linux, but not on every file system
// (one served by a process, say). Returns true when the descriptor was
// non-blocking and now waits, so that the read is to be tried again.
bool lee_esperando(int fd);

// Reads up to `n` bytes of the file open as `fd` at its position into
// `bytes`, tried again when interrupted or refused with EAGAIN (see
// lee_esperando). Returns the bytes read (0 at its end), or -1 with errno.
std::int64_t lee_descriptor(int fd, char* bytes, std::size_t n);

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

// Gives the file open as `fd` the owner `dueno` and group `grupo` where the
// system lets this process (as root), or the group alone, as `cp -a` does;
// then the permission bits `modo`, less setuid when the owner could not be
// kept and setgid when the group could not, so that a copy never runs as
// another user or group than its original's. Returns 0, or the error number
// of setting the bits. Where files have no owners or bits, does nothing.
int conserva_dueno_y_permisos(int fd, std::int64_t dueno, std::int64_t grupo, std::uint32_t modo);

// True unless the process numbered `numero` is known not to exist.
bool proceso_vivo(long numero);

// How many descriptors this process may have open at once.
std::uint64_t descriptores_permitidos();

}  // namespace kexo

#endif  // KEXO_COMMON_PLATAFORMA_H_
