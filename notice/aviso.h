// The notice: one line of text, taken from the first line of `kexo.ini` in the
// directory named by PHPRC, written before the code as a PHP line comment.
#ifndef KEXO_NOTICE_AVISO_H_
#define KEXO_NOTICE_AVISO_H_

#include <cstdio>
#include <string>
#include <string_view>

namespace kexo {

// The most bytes a notice holds.
inline constexpr std::size_t kMaximoAviso = 999;

// The value of the environment variable `nombre`, or "" when it is not set.
std::string lee_entorno(const char* nombre);

// `bruto` as a text-mode read gives it: each CR LF becomes LF, and a byte 0x1A
// ends the text. A CR that no LF follows stays.
std::string traduce_modo_texto(std::string_view bruto);

// The first line of `texto` as a line reader with a 1000-byte buffer gives it:
// at most 999 bytes, up to and including the first LF, ended by a 0 byte.
std::string primera_linea(std::string_view texto);

// The notice held by the text of a notice file: its first line without the LF.
std::string aviso_de(std::string_view texto);

// The path of the notice file in `directorio`, the value used unaltered.
std::string ruta_aviso(std::string_view directorio);

// Reads the notice from the notice file in the directory `phprc`. Returns ""
// (no notice) when `phprc` is empty or the file is missing, not a regular
// file (it never waits for a FIFO), unreadable or starts with an empty line.
// Never fails and prints only traces.
std::string lee_copyright(std::string_view phprc);

// The header for notice `scopy`: a PHP block of its own holding the notice as a
// line comment; "" when there is no notice.
std::string texto_cabecera(std::string_view scopy);

// Writes the header for `scopy` to `destino`. Returns false if the write failed.
bool escribe_cabecera(std::FILE* destino, std::string_view scopy);

}  // namespace kexo

#endif  // KEXO_NOTICE_AVISO_H_
