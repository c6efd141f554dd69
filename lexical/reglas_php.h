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

}  // namespace kexo

#endif  // KEXO_LEXICAL_REGLAS_PHP_H_
