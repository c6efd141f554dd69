// The notice: one line of text, taken from the first line of `kexo.ini` in the
// directory named by PHPRC, written before the code as a PHP line comment.
#ifndef KEXO_NOTICE_AVISO_H_
#define KEXO_NOTICE_AVISO_H_

#include <cstdint>
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

// What in the notice `scopy` would end the comment that carries it early,
// under kexo's rules (a line comment) and, with `reglas_php`, PHP's too (a
// /* */ comment): "contiene ?>", "contiene un CR", "contiene */"; "" when nothing.
std::string rechazo_aviso(std::string_view scopy, bool reglas_php);

// Under PHP's rules, the notice goes in a /* */ comment that moves no line.
// True when `aviso` can stand inside a /* */ comment on one line: it holds no
// `*/` and no line break. con_aviso_php wants it so.
bool aviso_cabe_en_comentario(std::string_view aviso);

// `compactado` with the notice `aviso` as a /* */ comment, moving no line: in
// the first open tag when the source opens with `<?php` (`<?php /* aviso */`),
// else as `<?php /* aviso */ ?>` glued in front of the first line that holds
// anything; a leading `#!` line stays first. Unchanged when
// !aviso_cabe_en_comentario(aviso), or when the source is a `#!` line alone.
std::string con_aviso_php(std::string_view compactado, std::string_view aviso);

// Not an error number: a notice file that is there but is no regular file.
inline constexpr int kAvisoNoRegular = -1;

// Reads the notice from the notice file `ruta` as lee_copyright reads the one
// in PHPRC's folder, but tells why it could not: returns 0, or the error
// number (kAvisoNoRegular: a folder, a FIFO, a device), `scopy` then empty.
int lee_aviso(const std::string& ruta, std::string& scopy);

// Where the header for a notice goes, so that PHP still runs the same program.
struct colocacion_aviso {
    // The source's first bytes, written unchanged before the header: a `#!`
    // line, which must stay first for the system to run the script.
    std::string_view antes;
    // The source's first statement is a declare, which PHP wants before any
    // other: the header is then only its first two lines, the notice a line
    // comment inside the source's own first PHP block, and the text after it
    // loses the five bytes of its open tag.
    bool en_apertura = false;
};

// The bytes of a compacted text that en_apertura leaves out: its `<?php`.
inline constexpr std::size_t kBytesApertura = 5;

// Where the header for `scopy` goes in front of the source that starts with
// `inicio`: in front of all, unless the source starts with a `#!` line or its
// first statement is a declare. Without a notice, in front of all.
colocacion_aviso coloca_aviso(std::string_view scopy, std::string_view inicio);

// The header for notice `scopy`, placed as `donde` says: a PHP block of its
// own holding the notice as a line comment; "" when there is no notice.
std::string texto_cabecera(std::string_view scopy, const colocacion_aviso& donde = {});

// The bytes that the header for `scopy`, placed as `donde` says, adds to the
// compacted text written after it (its `antes` included; the text's own
// `<?php`, which en_apertura leaves out, taken off).
std::int64_t bytes_anadidos(std::string_view scopy, const colocacion_aviso& donde);

// The line ends of that header past `antes`: every line of the compacted text
// moves down by as many.
std::int64_t lineas_anadidas(std::string_view scopy, const colocacion_aviso& donde);

// The whole text written for a compacted `texto`: the header for `scopy`,
// placed as `donde` says, then `texto` (less the open tag en_apertura leaves out).
std::string con_cabecera(std::string_view scopy, const colocacion_aviso& donde,
                         std::string_view texto);

// Writes the header for `scopy`, placed as `donde` says, to `destino`.
// Returns false if the write failed.
bool escribe_cabecera(std::FILE* destino, std::string_view scopy,
                      const colocacion_aviso& donde = {});

}  // namespace kexo

#endif  // KEXO_NOTICE_AVISO_H_
