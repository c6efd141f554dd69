// What differs between the systems kexo runs on: what kind of file a stream
// is, and how two names are told to be one file.
#ifndef KEXO_COMMON_PLATAFORMA_H_
#define KEXO_COMMON_PLATAFORMA_H_

#include <cstdint>
#include <cstdio>

// True when `origen` is a directory.
bool es_directorio(std::FILE* origen);

// The size of `origen` when it is a regular file, else -1.
std::int64_t tamano_de(std::FILE* origen);

// True when `ruta` names the file open as `origen` (through any link).
bool mismo_fichero(std::FILE* origen, const char* ruta);

#endif  // KEXO_COMMON_PLATAFORMA_H_
