// PHP's scanner, state for state: every token of a source as PHP's own
// tokenizer cuts it (PHP 8.2, short_open_tag off), whitespace and comments
// included, with the line PHP gives it. The states are PHP's: inline HTML,
// code, a property name after -> or ?->, the inside of "...", `...`, heredoc
// and nowdoc, a heredoc's closing marker, a variable name after ${, and an
// offset after "$a[; {$ and ${ push code over a string until the matching }.
// lexico_php and compacta_php read a source through it.
#ifndef KEXO_LEXICAL_ESCANER_PHP_H_
#define KEXO_LEXICAL_ESCANER_PHP_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kexo {

enum class clase_pieza : unsigned char {
    fin,            // the end of the source
    html,           // inline HTML, written as it stands
    apertura,       // <?php or <?=
    cierre,         // ?>
    codigo,         // a name, keyword, variable, number, cast or operator
    cadena,         // a string, or a literal part of one: its quotes, heredoc markers, text
    datos,          // the bytes after __halt_compiler and the three tokens that follow it
    documentacion,  // a doc comment: /** and a whitespace byte, up to */
    blanco,         // whitespace between tokens (only from the scanner)
    comentario,     // a //, # or /* */ comment (only from the scanner)
};

// What PHP's scanner tells apart beyond a token's bytes.
enum class matiz : unsigned char {
    ninguno,
    ampersand_seguido,  // & before a variable or `...`, only whitespace between
    enum_clave,         // `enum` read as the keyword: whitespace and a name follow
    linea_magica,       // __LINE__: its value is its line
    cierre_heredoc,     // a heredoc's or nowdoc's closing marker, not text of its body
    nombre_variable,    // the name in "${name}", a variable's, not a constant's
};

struct pieza {
    clase_pieza clase;
    std::string_view texto;  // the bytes that make it
    std::int64_t linea;      // the line it starts on, from 1, as PHP counts them
    matiz variante = matiz::ninguno;
};

// A token of a source by where it stands in it, as lexico_php gives it (open
// and close tags cut): what the check of PHP's rules compares, kept in 16
// bytes.
struct pieza_guardada {
    std::uint32_t desde;
    std::uint32_t largo;
    std::uint32_t linea;
    clase_pieza clase;
    matiz variante;
};

// A token's bytes as lexico_php gives them: an open tag without the
// whitespace byte it takes (`<?php`, `<?=`), a close tag without the line
// end it takes; any other token whole.
inline std::string_view sin_lo_que_toma(clase_pieza clase, std::string_view texto) {
    if (clase == clase_pieza::apertura) {
        return texto.substr(0, texto[2] == '=' ? 3 : 5);
    }
    return clase == clase_pieza::cierre ? texto.substr(0, 2) : texto;
}

// The line ends PHP counts in fuente[desde, hasta): a LF, and a CR that no
// LF follows (the byte at `hasta` included). The line of a token is one more
// than those before it.
std::int64_t saltos_entre(std::string_view fuente, std::size_t desde, std::size_t hasta);

// True when `nombre`, a name's bytes, is a type a cast names (`int`,
// `array`...), in any letter case: `(`, spaces or tabs, such a name, spaces
// or tabs and `)` make one token, a cast.
bool es_tipo_de_molde(std::string_view nombre);

// The same line ends among the 64 bytes at p, a bit each, the first byte the
// lowest. REQUIRES: p[64] can be read.
std::uint64_t saltos_en_64(const char* p);

class escaner_php {
   public:
    // `en_codigo`: the source starts inside PHP code, not in inline HTML.
    // Without `triviales`, the whitespace and comments of code (not doc
    // comments) are passed over, not given as tokens: what lexico_php reads.
    // Without `lineas`, no line is counted and every token's is 0: a caller
    // that wants few counts them with saltos_entre.
    explicit escaner_php(std::string_view fuente, bool en_codigo = false, bool triviales = true,
                         bool lineas = true);

    // The next token as PHP cuts it: an open tag with the whitespace byte it
    // takes, a close tag with the line end it takes. clase_pieza::fin at the
    // end, and from then on.
    pieza siguiente();

    // siguiente()'s body, for the loops that read token after token and want
    // the scanner inlined into them (lexico_php's): defined in
    // lexical/escaner_php_interno.h, which such a loop includes.
    pieza lee_siguiente();

    // The source it reads.
    std::string_view fuente() const { return f_; }

    // How many strings are open where the scanner stands: inside a string, or
    // in code, HTML or a comment that interpolates into one.
    std::size_t cadenas_abiertas() const;

    // How many states and heredocs it holds open beneath the present one.
    std::size_t profundidad() const { return pila_.size() + heredocs_.size(); }

    // Where the scanner stands: the end of the last token given.
    std::size_t posicion() const { return p_; }

    // One past the furthest byte that the tokens given since olvida_alcance
    // may hang on: what decided their ends and kinds, and the state they
    // left. Two scanners in the same state over the same bytes up to there
    // give the same tokens and end in the same state.
    std::size_t alcance() const { return std::max(alcance_, p_ + kMargen); }
    void olvida_alcance() { alcance_ = 0; }

    // True when `otro` would go on as this one does over the same bytes:
    // the same state, stack of states and open heredocs (their markers by
    // their bytes). Where they stand, their sources and lines aside.
    bool mismo_estado(const escaner_php& otro) const;

    // Takes the state of `otro`, a scanner of another source, and stands at
    // `posicion` of this one, where the bytes ahead are those ahead of
    // `otro`. The markers of open heredocs stay in `otro`'s source, which
    // must outlive this scanner. Lines stay this scanner's own: counted on
    // from where it last counted, never back from `posicion`.
    void toma_estado(const escaner_php& otro, std::size_t posicion);

    // In code, with whitespace and comments passed over, moves on over the
    // tokens that change no state but the stack of `{` `}` (names, variables,
    // numbers, operators, strings with nothing interpolated, `->name`), up to
    // the start of the first token that may: a comment, a quote that opens
    // parts, a heredoc, `?>`, `?->`, a name that starts with `__`, a `}` over
    // a string. Those are left to siguiente(). The bytes that decide the
    // tokens passed over lie before `hasta`, and alcance() stays within it;
    // SIZE_MAX allows the whole rest of the source. Elsewhere, or where a
    // token's start is in doubt, it stays. `ultimo` takes the last byte of
    // the last token passed over, if any: which token a close tag follows.
    // Two scanners in the same state over the same bytes up to `hasta` stop
    // at the same place in the same state.
    void salta_codigo(std::size_t hasta, std::size_t& ultimo);

   private:
    enum class estado : unsigned char {
        html,
        codigo,
        propiedad,  // after -> or ?->: a name is a property
        comillas,
        acentos,
        heredoc,
        nowdoc,
        fin_heredoc,      // the closing marker comes next
        nombre_variable,  // after ${
        indice,           // after "$a[
    };
    struct etiqueta {
        std::string_view nombre;
        // The indentation PHP's closing token spans: the marker's own, or for
        // a heredoc the one its look-ahead found (see explora).
        std::size_t sangria = 0;
        bool explorada = false;
    };

    // Past a token's end, the bytes read to decide it and its state are at
    // most this many, but where anota says more.
    static constexpr std::size_t kMargen = 32;

    void anota(std::size_t hasta) { alcance_ = std::max(alcance_, hasta + kMargen); }

    pieza lee();
    pieza crea(clase_pieza clase, std::size_t fin, matiz variante = matiz::ninguno);
    void apila(estado nuevo);
    void desapila();

    pieza en_html();
    pieza en_codigo();
    pieza otro_en_codigo();
    pieza en_propiedad();
    pieza en_interpolada(char cierre);
    pieza en_heredoc();
    pieza en_nowdoc();
    pieza en_indice();
    pieza comentario_de_linea(std::size_t desde);
    pieza comentario_de_bloque();
    pieza siguiente_en_estado();
    pieza nombre();
    pieza cadena_entre(std::size_t comilla);
    std::size_t abre_heredoc(std::size_t marca);
    pieza variable_en_cadena();
    // At a `{$`, `${` or `$name` inside a string: the part it opens, in `parte`.
    bool abre_parte_interpolada(pieza& parte);
    // After a line end in a heredoc's body: whether its closing marker follows.
    bool cierra_heredoc(char salto, std::size_t& i, std::size_t& fin_contenido);
    void explora();
    // salta_codigo's steps: whether the state allows it, a brace at s (the
    // end of its token, or s at the end of a part of a string), and where it
    // leaves the scanner.
    bool puede_saltar() const;
    std::size_t tras_llave(std::size_t s);
    void termina_salto(std::size_t llegada, std::size_t tramo, bool sin_parada,
                       std::size_t& ultimo);
    void vigila(estado antes, const pieza& leida);
    // After a token, in the rare states: __halt_compiler's count, a
    // heredoc's look ahead.
    void tras_leer(estado antes, const pieza& leida);

    std::string_view f_;
    std::size_t p_ = 0;
    estado estado_;
    std::vector<estado> pila_;
    std::vector<etiqueta> heredocs_;
    int tras_halt_ = -1;  // tokens still read after __halt_compiler; -1 before it
    bool halt_leido_ = false;
    // PHP reads a heredoc's body ahead once to learn its closing marker's
    // indentation; an error on the way (a bracket that does not match, an
    // octal 08) stops it short, and the closing token spans what it learnt.
    bool por_explorar_ = false;
    bool explorando_ = false;
    // Whether tras_leer has work after a token: tras_halt_ above 0,
    // halt_leido_, explorando_ or por_explorar_. One byte for the hot path to
    // test; set wherever one of those turns true, worked out again by
    // tras_leer, the only place where they turn false.
    bool atento_ = false;
    bool error_ = false;
    std::vector<char> anidados_;  // brackets open, while exploring
    std::size_t sangria_explorada_ = 0;
    bool triviales_;
    bool lineas_;
    std::size_t contadas_ = 0;  // bytes whose line ends are counted in linea_
    std::int64_t linea_ = 1;
    std::size_t alcance_ = 0;  // see alcance()
    // Calls of salta_codigo still to pass up after one that found nowhere to
    // stop: code with no stop byte for long is read token by token meanwhile,
    // not looked over again at every token.
    std::uint8_t espera_ = 0;
};

}  // namespace kexo

#endif  // KEXO_LEXICAL_ESCANER_PHP_H_
