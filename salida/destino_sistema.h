// What each system does its own way for the destination: what its name
// stands for, the bits its temporary file takes, and the signals that must
// not leave that file behind. destino.cc builds the destination's protocol
// on these and on common/'s calls.
#ifndef KEXO_SALIDA_DESTINO_SISTEMA_H_
#define KEXO_SALIDA_DESTINO_SISTEMA_H_

#include <cstdint>
#include <string>

#include "common/carpeta.h"
#include "common/ficheros.h"

namespace kexo {

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

// Gives the temporary file open as `fd` what the file it replaces has (owner
// and permission bits), or a new file's bits when there was none; `con_nombre`
// says it was made named, with restricted bits.
void prepara_temporal(int fd, const nodo_destino& nodo, bool con_nombre);

// Has the signals that end a run remove every temporary file first; a signal
// that is ignored stays ignored. Once a process.
void vigila_senales();

}  // namespace kexo

#endif  // KEXO_SALIDA_DESTINO_SISTEMA_H_
