// What each system does its own way for the destination: what its name
// stands for, the folder the temporary file is made in, and the few calls
// that make, name, place and remove that file. One file a system implements
// these; destino.cc builds the destination's protocol on them.
#ifndef KEXO_SALIDA_DESTINO_SISTEMA_H_
#define KEXO_SALIDA_DESTINO_SISTEMA_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/carpeta.h"
#include "common/plataforma.h"

namespace kexo {

// Opens into `abierta` the folder of the file `ruta`, and puts in `nombre`
// the name that file has for the calls below: a bare name beside a
// descriptor, else (where a folder is its path) the whole path. Returns 0, or
// the error number.
int abre_carpeta_de(const std::string& ruta, carpeta& abierta, std::string& nombre);

// What a destination's name stands for, before it is written.
struct nodo_destino {
    bool existe = false;
    bool directo = false;     // to be written in place: a device, FIFO, terminal or folder
    std::uint32_t modo = 0;   // its permission bits, when it is a regular file
    std::int64_t dueno = -1;  // its owner and group, where the system has them
    std::int64_t grupo = -1;
};

// Works out what `ruta` stands for into `nodo`, and in `real` the file to
// replace: `ruta` itself, or the file its links lead to. Refuses, with the
// error number, a file that may not be written, as opening it would.
int examina_destino(const std::string& ruta, std::string& real, nodo_destino& nodo);

// Works out into `nodo` what the entry `nombre` (a name for the calls below)
// of `carpeta` is, its link not followed, to be replaced: only a regular file
// `existe`, to pass its attributes on; `ocupado` says whether any entry has
// that name. Returns 0, or the error number.
int examina_entrada(const carpeta& carpeta, const char* nombre, nodo_destino& nodo, bool& ocupado);

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

// Gives the link `nombre` in `carpeta` the owner (where this process may) and
// times of the link `original` in `origen`. Returns 0, or the error number.
int copia_atributos_enlace(const carpeta& origen, const std::string& original,
                           const carpeta& carpeta, const char* nombre);

// Makes the folder `nombre` in `padre`, unless one is there: another kind of
// entry there (a link, a file) is removed first, never followed. Returns 0,
// or the error number; `ya_estaba`, when given, tells a folder found there
// (made meanwhile by another process) from one made here.
int crea_carpeta_en(const carpeta& padre, const std::string& nombre, bool* ya_estaba = nullptr);

// Puts the file `de` in the place of `a`, replacing it, at once. Returns 0,
// or the error number.
int renombra(const carpeta& carpeta, const char* de, const char* a);

// Removes the entry `nombre` of the folder open as `carpeta` (-1: a whole
// path). Safe in a signal handler.
void borra_entrada(int carpeta, const char* nombre);

// Gives the temporary file open as `fd` what the file it replaces has (owner
// and permission bits), or a new file's bits when there was none; `con_nombre`
// says it was made named, with restricted bits.
void prepara_temporal(int fd, const nodo_destino& nodo, bool con_nombre);

// Gives the file open as `fd` the owner, group, permission bits and times
// that its source was seen with as `de`, as a copy does; an owner, group and
// bits the file already has, as the system says after its times are set,
// are not set again. `queda`, when given, gets what the file is then.
// Returns 0, or the error number.
int copia_atributos(int fd, const atributos_origen& de, nodo* queda = nullptr);

// The same with what the file open as `original` is now.
int copia_atributos(int fd, std::FILE* original, nodo* queda = nullptr);

// True when standard output writes to the file open as `fd`.
bool es_salida_estandar(int fd);

// Has the signals that end a run remove every temporary file first; a signal
// that is ignored stays ignored. Once a process.
void vigila_senales();

}  // namespace kexo

#endif  // KEXO_SALIDA_DESTINO_SISTEMA_H_
