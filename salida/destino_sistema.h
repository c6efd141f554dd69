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

// Works out what `ruta` stands for: in `real` the file to replace, `ruta`
// itself or the file its links lead to, and in `previo` that file when it is
// a regular one (clase ninguno: there is none); `directo` says it is to be
// written in place (a device, FIFO, terminal or folder). Refuses, with the
// error number, a file that may not be written, as opening it would.
int examina_destino(const std::string& ruta, std::string& real, nodo& previo, bool& directo);

// Gives the temporary file open as `fd` what `previo`, the file it replaces,
// has when it is a regular one (owner and permission bits), else a new
// file's bits; `con_nombre` says it was made named, with restricted bits.
void prepara_temporal(int fd, const nodo& previo, bool con_nombre);

// Has the signals that end a run remove every temporary file first; a signal
// that is ignored stays ignored. Once a process.
void vigila_senales();

}  // namespace kexo

#endif  // KEXO_SALIDA_DESTINO_SISTEMA_H_
