// PHP's own rules for a compaction that keeps every line: comments and the
// whitespace between tokens go, line breaks stay where they were, so that
// every token keeps its line (error messages, __LINE__ and stack traces stay
// true). Bytes in, bytes out; no I/O.
#ifndef KEXO_LEXICAL_REGLAS_PHP_H_
#define KEXO_LEXICAL_REGLAS_PHP_H_

#include <string>
#include <string_view>

namespace kexo {

struct lectura_php;

// The source compacted by PHP's rules:
//  - //, # and /* */ comments go, the line breaks inside them stay;
//  - whitespace between tokens goes but for its line breaks, which stay as
//    they were (CR LF, LF or CR); one space stays where two tokens would
//    otherwise read as others, and a comment stays where nothing less keeps
//    PHP's tokens (`(/**/int)`, `yield/**/from`);
//  - kept byte for byte: strings of every kind, {$...} parts included,
//    inline HTML, doc comments, #[ attributes, the open tag with the
//    whitespace byte it takes, the close tag with the line end it takes, and
//    what follows __halt_compiler.
// compara_php(fuente, resultado, modo_comparacion::lineas) finds them the
// same; a caller that writes the result checks that first.
std::string compacta_php(std::string_view fuente);

// The same, keeping in `lectura` the source's tokens as lexico_php reads
// them, for compara_php(fuente, lectura, resultado, ...).
std::string compacta_php(std::string_view fuente, lectura_php& lectura);

// True when `aviso` can stand inside a /* */ comment on one line: it holds no
// `*/` and no line break. con_aviso_php wants it so.
bool aviso_cabe_en_comentario(std::string_view aviso);

// `compactado` with the notice `aviso` as a /* */ comment, moving no line: in
// the first open tag when the source opens with `<?php` (`<?php /* aviso */`),
// else as `<?php /* aviso */ ?>` glued in front of the first line that holds
// anything; a leading `#!` line stays first. Unchanged when
// !aviso_cabe_en_comentario(aviso), or when the source is a `#!` line alone.
std::string con_aviso_php(std::string_view compactado, std::string_view aviso);

}  // namespace kexo

#endif  // KEXO_LEXICAL_REGLAS_PHP_H_
