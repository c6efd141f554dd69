// What differs between the systems kexo runs on: what kind of file a stream
// is, opening a file only if it is a regular one, and how two names are told
// to be one file.
#ifndef KEXO_COMMON_PLATAFORMA_H_
#define KEXO_COMMON_PLATAFORMA_H_

#include <cstdint>
#include <cstdio>

#include "common/archivo.h"

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

// A stream over the descriptor `fd`, opened with fopen's `modo`; null, with
// errno and `fd` closed, when it cannot be made.
archivo abre_descriptor(int fd, const char* modo);

}  // namespace kexo

#endif  // KEXO_COMMON_PLATAFORMA_H_
