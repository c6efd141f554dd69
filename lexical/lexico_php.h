// PHP's lexical view of a source, independent of the compaction's scan: the
// pieces that make its program, and the comparison of two sources piece by
// piece. The pieces are the tokens of PHP's own scanner (lexical/escaner_php.h)
// but whitespace and comments: open and close tags, inline HTML, strings and
// their parts ({$...}, ${...}, "$a[...]" and "$a->b" read as PHP reads them),
// heredoc and nowdoc, doc comments, names, variables, numbers, casts,
// operators, and __halt_compiler's raw data. Short open tags (`<?` alone) are
// read as HTML, as with short_open_tag off.
#ifndef KEXO_LEXICAL_LEXICO_PHP_H_
#define KEXO_LEXICAL_LEXICO_PHP_H_

#include <cstdint>
#include <string_view>

#include "lexical/escaner_php.h"

namespace kexo {

// Reads a source piece by piece; whitespace and comments are passed over,
// doc comments are not. An open tag's piece is `<?php` or `<?=` alone, a
// close tag's `?>` alone, without the line end they take.
class lexico_php {
   public:
    // Without `lineas`, every piece's line is 0 (see saltos_entre).
    explicit lexico_php(std::string_view fuente, bool lineas = true)
        : escaner_(fuente, false, false, lineas) {}

    // The next piece; clase_pieza::fin at the end, and from then on.
    // Inline: one call a piece, the scanner's, not two.
    pieza siguiente() {
        // One object returned, built in the caller's place: a copy of a
        // token just written field by field waits on those stores.
        pieza leida = escaner_.siguiente();
        while (leida.clase == clase_pieza::blanco || leida.clase == clase_pieza::comentario) {
            leida = escaner_.siguiente();
        }
        leida.texto = sin_lo_que_toma(leida.clase, leida.texto);
        return leida;
    }

    escaner_php& escaner() { return escaner_; }

   private:
    escaner_php escaner_;
};

// The check's loops over the scanner, inlined into them: no call and no
// token through memory per token.

// For the check of PHP's rules: reads on with `escaner` as lexico_php does
// (whitespace and comments passed over, tags cut) while each token matches
// the next of `guardada` in kind, matiz, length, line (the token's, `desfase`
// more) and bytes (those at its place in `original`). Returns the first token
// that does not, or the one read against `ultima`, which is never passed
// over; `guardada` then points to the kept token it stands against. For a
// scanner made as lexico_php makes it, with lines.
pieza lee_mientras_iguales(escaner_php& escaner, const pieza_guardada*& guardada,
                           const pieza_guardada* ultima, std::string_view original,
                           std::int64_t desfase);

// The same past the kept tokens: `otra` and `fuente`, the source's scanner,
// read on side by side as lexico_php does while each pair matches in kind,
// matiz, bytes and line (the source's `desfase` more). Returns `otra`'s first
// token that does not, or the one read against the source's end; `a` takes
// the source's token it stands against, and `previa` the source's last token
// that matched (clase_pieza::fin when none did). Both made as lexico_php
// makes its scanner.
pieza lee_a_la_par(escaner_php& otra, escaner_php& fuente, std::int64_t desfase, pieza& a,
                   pieza& previa);

// Why two sources differ.
enum class motivo_diferencia : unsigned char {
    ninguno,        // they do not
    programa,       // a piece of the program
    documentacion,  // a doc comment, which Reflection reads byte for byte
    linea_magica,   // the line of a __LINE__, which is its value
    linea,          // the line of a piece (modo_comparacion::lineas)
};

// What comparing two sources found: whether they are the same, and if not,
// why and the line of the first source where they part.
struct comparacion {
    bool iguales;
    std::int64_t linea;
    motivo_diferencia motivo = motivo_diferencia::ninguno;
};

enum class modo_comparacion : unsigned char {
    programa,  // the same pieces, doc comments and __LINE__'s lines included
    lineas,    // that, and every piece on the same line
};

// Compares the pieces of `original` and `compactado`, byte for byte, leaving
// out whitespace and comments; a __LINE__ must stand on the same line. At the
// very end either may lack whitespace-only inline HTML, and a close tag that
// follows a `;` or the open tag (PHP reads it as an empty statement). When
// unsure, it finds them different. `desfase` is the lines that a block
// written in front of `compactado`'s code adds (a notice's header): its
// pieces stand that many lines further down.
//
// Where both sources hold the same bytes ahead for long, with the scanners in
// the same state, only `original` is read there: the tokens of both are the
// same while what decides them lies within those bytes.
comparacion compara_php(std::string_view original, std::string_view compactado,
                        modo_comparacion modo = modo_comparacion::programa,
                        std::int64_t desfase = 0);

// The same verdict, reading both sources token by token throughout: the
// measure that compara_php's shortcut is tested against.
comparacion compara_php_paso_a_paso(std::string_view original, std::string_view compactado,
                                    modo_comparacion modo = modo_comparacion::programa,
                                    std::int64_t desfase = 0);

// True when the source, past a leading `#!` line (PHP's command line skips
// it), opens with `<?php` and, after only whitespace and comments, its first
// statement is `declare` (in any letter case): PHP wants a
// declare(strict_types=...) there, before anything else.
bool empieza_con_declare(std::string_view fuente);

// True when the source starts with `#!`, a line that names its interpreter.
bool empieza_con_interprete(std::string_view fuente);

}  // namespace kexo

#endif  // KEXO_LEXICAL_LEXICO_PHP_H_
