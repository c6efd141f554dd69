// What differs between the systems kexo runs on: the notice path separator,
// how the notice file is read, and how two names are told to be one file.
#ifndef KEXO_COMUN_PLATAFORMA_H_
#define KEXO_COMUN_PLATAFORMA_H_

#include <cstdint>
#include <cstdio>

#ifdef _WIN32
inline constexpr char kSeparadorRuta = '\\';
// The C runtime's text mode already turns CR LF into LF and stops at 0x1A.
inline constexpr const char* kModoLecturaAviso = "r";
inline constexpr bool kTraduceModoTexto = false;
#else
inline constexpr char kSeparadorRuta = '/';
// No text mode here: the notice reader does its translation itself.
inline constexpr const char* kModoLecturaAviso = "rb";
inline constexpr bool kTraduceModoTexto = true;
#endif

// True when `origen` is a directory.
bool es_directorio(std::FILE* origen);

// The size of `origen` when it is a regular file, else -1.
std::int64_t tamano_de(std::FILE* origen);

// True when `ruta` names the file open as `origen` (through any link).
bool mismo_fichero(std::FILE* origen, const char* ruta);

#endif  // KEXO_COMUN_PLATAFORMA_H_
