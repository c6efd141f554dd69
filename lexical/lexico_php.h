// PHP's lexical view of a source, independent of the compaction's scan: the
// pieces that make its program, and the comparison of two sources piece by
// piece. It knows the open and close tags, inline HTML, '...', "..." and `...`
// strings with their escapes and {$...} parts, heredoc and nowdoc (with an
// indented closing marker), //, # and /* */ comments (#[ opens an attribute),
// casts, PHP's operators, and __halt_compiler's raw data. Short open tags
// (`<?` alone) are read as HTML, as with short_open_tag off.
#ifndef KEXO_LEXICAL_LEXICO_PHP_H_
#define KEXO_LEXICAL_LEXICO_PHP_H_

#include <cstdint>
#include <string_view>

namespace kexo {

enum class clase_pieza : unsigned char {
    fin,       // the end of the source
    html,      // inline HTML, written as it stands
    apertura,  // <?php or <?=
    cierre,    // ?>, with the line end it takes
    codigo,    // a name, variable, number, cast or operator
    cadena,    // a string, heredoc or nowdoc, whole, with its quotes or markers
    datos,     // everything after __halt_compiler
};

struct pieza {
    clase_pieza clase;
    std::string_view texto;  // the bytes that make it (a close tag: `?>` alone)
    std::int64_t linea;      // the line it starts on, from 1
};

// Reads a source piece by piece; whitespace and comments are passed over.
class lexico_php {
   public:
    explicit lexico_php(std::string_view fuente) : fuente_(fuente) {}

    // The next piece; clase_pieza::fin at the end, and from then on.
    pieza siguiente();

   private:
    pieza html();
    pieza en_codigo();
    pieza crea(clase_pieza clase, std::size_t inicio, std::size_t fin);

    std::string_view fuente_;
    std::size_t p_ = 0;         // the next byte to read
    bool en_php_ = false;       // between an open and a close tag
    std::size_t contadas_ = 0;  // bytes whose line ends are counted in linea_
    std::int64_t linea_ = 1;
};

// What comparing two sources found: whether their programs are the same, and
// if not, the line of the first source where they part.
struct comparacion {
    bool iguales;
    std::int64_t linea;
};

// Compares the pieces of `original` and `compactado`, byte for byte, leaving
// out whitespace and comments. Whitespace-only inline HTML at the very end may
// be missing from either. When unsure, it finds them different.
comparacion compara_php(std::string_view original, std::string_view compactado);

}  // namespace kexo

#endif  // KEXO_LEXICAL_LEXICO_PHP_H_
