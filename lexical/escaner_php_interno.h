// The scanner's own: what its states share to read bytes, and the hot path,
// inlined into each state and into the loops of lexico_php that read tokens
// one after another (crea, en_codigo, lee_siguiente). Only lexical/ includes it.
#ifndef KEXO_LEXICAL_ESCANER_PHP_INTERNO_H_
#define KEXO_LEXICAL_ESCANER_PHP_INTERNO_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/vectores.h"
#include "lexical/escaner_php.h"

namespace kexo {

// The byte at i, or 0 past the end.
inline char en(std::string_view s, std::size_t i) {
    return i < s.size() ? s[i] : '\0';
}

inline bool es_blanco(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool es_espacio_o_tab(char c) {
    return c == ' ' || c == '\t';
}

inline bool es_cifra(char c) {
    return c >= '0' && c <= '9';
}

inline bool es_hexadecimal(char c) {
    return es_cifra(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool es_binaria(char c) {
    return c == '0' || c == '1';
}

inline bool es_octal(char c) {
    return c >= '0' && c <= '7';
}

// What each byte may be in a name: its first byte, or any other.
// kNumero: after a run of digits, a byte that may carry the number on
// (`.`, `_`, an exponent, a base after a 0).
enum : unsigned char { kEmpieza = 1, kSigue = 2, kNumero = 4 };

struct tabla_nombres {
    unsigned char de[256];
};

constexpr tabla_nombres nombres() {
    tabla_nombres t{};
    for (unsigned u = 0; u < 256; ++u) {
        const bool empieza =
            (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
        const bool cifra = u >= '0' && u <= '9';
        const bool numero = u == '.' || u == '_' || u == 'e' || u == 'E' || u == 'x' || u == 'X' ||
                            u == 'b' || u == 'B' || u == 'o' || u == 'O';
        t.de[u] = static_cast<unsigned char>((empieza ? kEmpieza | kSigue : 0) |
                                             (cifra ? kSigue : 0) | (numero ? kNumero : 0));
    }
    return t;
}

inline constexpr tabla_nombres kNombres = nombres();

// What the first byte of a token in code leads to try: a name, a variable,
// a number, whitespace, a one-byte token, a string, one operator or another,
// or the rest (otro_en_codigo).
enum class inicio : unsigned char {
    otro,
    nombre,
    variable,
    cifra,
    blanco,
    simple,
    comilla,     // `'` or `"`
    parentesis,  // `(`, which may open a cast
    // Operators with no other reading, by their first byte.
    igual,
    exclamacion,
    mayor,
    asterisco,
    barra,  // `|`
    mas,
    menos,  // `-`, and `->`, after which a name is a property
    punto,  // `.`, or a number like `.5`
    dos_puntos,
    con_igual,  // `%` or `^`, alone or before `=`
};

struct tabla_inicios {
    inicio de[256];
};

constexpr inicio inicio_de(unsigned u) {
    if ((kNombres.de[u] & kEmpieza) != 0) {
        return inicio::nombre;
    }
    if (u >= '0' && u <= '9') {
        return inicio::cifra;
    }
    switch (u) {
        case '$':
            return inicio::variable;
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            return inicio::blanco;
        case ';':
        case ',':
        case ')':
        case '[':
        case ']':
        case '~':
        case '@':
            return inicio::simple;
        case '\'':
        case '"':
            return inicio::comilla;
        case '(':
            return inicio::parentesis;
        case '=':
            return inicio::igual;
        case '!':
            return inicio::exclamacion;
        case '>':
            return inicio::mayor;
        case '*':
            return inicio::asterisco;
        case '|':
            return inicio::barra;
        case '+':
            return inicio::mas;
        case '-':
            return inicio::menos;
        case '.':
            return inicio::punto;
        case ':':
            return inicio::dos_puntos;
        case '%':
        case '^':
            return inicio::con_igual;
        default:
            return inicio::otro;
    }
}

constexpr tabla_inicios inicios() {
    tabla_inicios t{};
    for (unsigned u = 0; u < 256; ++u) {
        t.de[u] = inicio_de(u);
    }
    return t;
}

inline constexpr tabla_inicios kInicios = inicios();

inline bool empieza_nombre(char c) {
    return (kNombres.de[static_cast<unsigned char>(c)] & kEmpieza) != 0;
}

inline bool sigue_nombre(char c) {
    return (kNombres.de[static_cast<unsigned char>(c)] & kSigue) != 0;
}

// The bytes that may go on a name: letters, digits, `_`, bytes from 0x80;
// one byte by the table.
struct bytes_de_nombre : alguna_de<letras_ascii, rango_de<'0', '9'>, bytes_de<'_'>, bytes_altos> {
    static bool contiene(char c) { return sigue_nombre(c); }
};

// The first i from i on where s[i] is one of `Bytes`, or s.size().
template <char... Bytes>
inline std::size_t busca(std::string_view s, std::size_t i) {
    return busca_clase<bytes_de<Bytes...>>(s, i);
}

// Past the whitespace (space, tab, CR, LF) at i.
[[gnu::always_inline]] inline std::size_t salta_blancos(std::string_view s, std::size_t i) {
    return salta_clase<bytes_de<' ', '\t', '\n', '\r'>>(s, i);
}

// Past the bytes of a name at i (letters, digits, `_`, bytes from 0x80).
[[gnu::always_inline]] inline std::size_t fin_de_nombre(std::string_view s, std::size_t i) {
    return salta_clase<bytes_de_nombre>(s, i);
}

// Past the decimal digits at i.
[[gnu::always_inline]] inline std::size_t fin_de_cifras_decimales(std::string_view s,
                                                                  std::size_t i) {
    return salta_clase<rango_de<'0', '9'>>(s, i);
}

// The line ends PHP counts in s[desde, hasta): a LF, and a CR that no LF
// follows (the byte at `hasta` included, when there is one). With vectors,
// 16 bytes at a time, the last ones under a mask while 17 bytes can be read;
// byte by byte elsewhere and at the very end.
inline std::int64_t cuenta_saltos(std::string_view s, std::size_t desde, std::size_t hasta) {
    std::int64_t n = 0;
    std::size_t i = desde;
    if constexpr (kHayVectores) {
        for (; hasta - i > 16; i += 16) {
            n += cuenta_saltos_16(s.data() + i);
        }
        if (i < hasta && s.size() - i > 16) {
            return n + cuenta_saltos_16(s.data() + i, hasta - i);
        }
    }
    for (; i < hasta; ++i) {
        n += static_cast<int>(s[i] == '\n') |
             (static_cast<int>(s[i] == '\r') & static_cast<int>(en(s, i + 1) != '\n'));
    }
    return n;
}

// True when `s` holds `palabra` (lower case) at i, in any letter case.
inline bool hay_palabra(std::string_view s, std::size_t i, std::string_view palabra) {
    if (i > s.size() || s.size() - i < palabra.size()) {
        return false;
    }
    // A letter of `palabra` matches either case: bit 5 set is the lower
    // case, and only the two cases of a letter map to it so (no locale is
    // set, so tolower knows ASCII alone).
    for (std::size_t k = 0; k < palabra.size(); ++k) {
        const char p = palabra[k];
        const char b = p >= 'a' && p <= 'z' ? static_cast<char>(s[i + k] | 0x20) : s[i + k];
        if (b != p) {
            return false;
        }
    }
    return true;
}

template <bool (*Que)(char)>
inline std::size_t salta(std::string_view s, std::size_t i) {
    while (i < s.size() && Que(s[i])) {
        ++i;
    }
    return i;
}

// Past one line end at i (CR LF, LF or CR), or i when there is none.
inline std::size_t tras_salto(std::string_view s, std::size_t i) {
    if (en(s, i) == '\r') {
        return en(s, i + 1) == '\n' ? i + 2 : i + 1;
    }
    return en(s, i) == '\n' ? i + 1 : i;
}

// The end of digits of kind `cifra` at i, with single underscores between
// them (PHP's [0-9]+(_[0-9]+)*), or i when no digit is there.
template <bool (*Cifra)(char)>
inline std::size_t fin_de_cifras(std::string_view s, std::size_t i) {
    if (!Cifra(en(s, i))) {
        return i;
    }
    for (;;) {
        i = salta<Cifra>(s, i);
        if (en(s, i) != '_' || !Cifra(en(s, i + 1))) {
            return i;
        }
        ++i;
    }
}

// The end of an integer written 0x.., 0b.. or 0o.. at i, or i.
inline std::size_t fin_de_prefijado(std::string_view s, std::size_t i) {
    if (en(s, i) != '0') {
        return i;
    }
    // Lower case by bit 5: only X, B and O map so to x, b and o.
    const char base = static_cast<char>(en(s, i + 1) | 0x20);
    const std::size_t fin = base == 'x'   ? fin_de_cifras<es_hexadecimal>(s, i + 2)
                            : base == 'b' ? fin_de_cifras<es_binaria>(s, i + 2)
                            : base == 'o' ? fin_de_cifras<es_octal>(s, i + 2)
                                          : i;
    return fin > i + 2 ? fin : i;
}

// The end of the number at i: the longest of PHP's integer and float forms.
inline std::size_t fin_de_numero(std::string_view s, std::size_t i) {
    if (const std::size_t prefijado = fin_de_prefijado(s, i); prefijado != i) {
        return prefijado;
    }
    const std::size_t entero = fin_de_cifras<es_cifra>(s, i);
    std::size_t fin = entero;
    if (en(s, entero) == '.') {
        const std::size_t decimales = fin_de_cifras<es_cifra>(s, entero + 1);
        if (decimales > entero + 1) {
            fin = decimales;
        } else if (entero > i) {
            fin = entero + 1;  // `1.`
        }
    }
    if (fin > i && (en(s, fin) == 'e' || en(s, fin) == 'E')) {
        const std::size_t signo = en(s, fin + 1) == '+' || en(s, fin + 1) == '-' ? 1 : 0;
        const std::size_t exponente = fin_de_cifras<es_cifra>(s, fin + 1 + signo);
        if (exponente > fin + 1 + signo) {
            fin = exponente;
        }
    }
    return fin;
}

// The end of the `$` at i and the name that follows, if any.
[[gnu::always_inline]] inline std::size_t fin_de_variable(std::string_view s, std::size_t i) {
    return empieza_nombre(en(s, i + 1)) ? fin_de_nombre(s, i + 1) : i + 1;
}

// The end of the number whose first digit is at i: digits alone, the usual
// number, unless a byte that may carry it on follows.
[[gnu::always_inline]] inline std::size_t fin_de_cifra(std::string_view s, std::size_t i) {
    const std::size_t cifras = fin_de_cifras_decimales(s, i);
    if (cifras < s.size() && (kNombres.de[static_cast<unsigned char>(s[cifras])] & kNumero) != 0) {
        return fin_de_numero(s, i);
    }
    return cifras;
}

// The end of a //, # comment whose text starts at i: the line end, or a
// close tag.
inline std::size_t fin_de_comentario_de_linea(std::string_view s, std::size_t i) {
    i = busca<'\n', '\r', '?'>(s, i);
    while (i < s.size() && s[i] == '?' && en(s, i + 1) != '>') {
        i = busca<'\n', '\r', '?'>(s, i + 1);
    }
    return i;
}

// The end of a /* */ comment whose text starts at i: past its */.
inline std::size_t fin_de_comentario_de_bloque(std::string_view s, std::size_t i) {
    const std::size_t fin = s.find("*/", i);
    return fin == std::string_view::npos ? s.size() : fin + 2;
}

// A doc comment at i: /** and a whitespace byte.
inline bool es_documentacion(std::string_view s, std::size_t i) {
    return en(s, i + 2) == '*' && es_blanco(en(s, i + 3));
}

// The ends of the operators at i by their first byte, each PHP's longest form.

// `=`, `==`, `===`, `=>`.
inline std::size_t fin_tras_igual(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    return i + (b == '=' ? (en(s, i + 2) == '=' ? 3 : 2) : b == '>' ? 2 : 1);
}

// `!`, `!=`, `!==`.
inline std::size_t fin_tras_exclamacion(std::string_view s, std::size_t i) {
    return i + (en(s, i + 1) == '=' ? (en(s, i + 2) == '=' ? 3 : 2) : 1);
}

// `>`, `>=`, `>>`, `>>=`.
inline std::size_t fin_tras_mayor(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    return i + (b == '=' ? 2 : b == '>' ? (en(s, i + 2) == '=' ? 3 : 2) : 1);
}

// `*`, `*=`, `**`, `**=`.
inline std::size_t fin_tras_asterisco(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    return i + (b == '*' ? (en(s, i + 2) == '=' ? 3 : 2) : b == '=' ? 2 : 1);
}

// `.`, `.=`, `...` (not a number like `.5`).
inline std::size_t fin_tras_punto(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    return i + (b == '.' && en(s, i + 2) == '.' ? 3 : b == '=' ? 2 : 1);
}

// A byte doubled or before `=` (`++`, `+=`, `||`, `|=`, `&&`, `&=`, `--`,
// `-=`), or alone.
inline std::size_t fin_doble_o_con_igual(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    return i + (b == s[i] || b == '=' ? 2 : 1);
}

// A byte before `=` (`%=`, `^=`, `/=`), or alone.
inline std::size_t fin_con_igual(std::string_view s, std::size_t i) {
    return i + (en(s, i + 1) == '=' ? 2 : 1);
}

// The end of the operator at i: PHP's longest (===, !==, <=>, **=, ..., <<=,
// >>=, ??=, ?->, then those of two bytes), or its one byte.
[[gnu::always_inline]] inline std::size_t fin_de_operador(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    const char c = en(s, i + 2);
    switch (s[i]) {
        case '=':
            return fin_tras_igual(s, i);
        case '!':
            return fin_tras_exclamacion(s, i);
        case '<':
            return b == '='   ? i + (c == '>' ? 3 : 2)
                   : b == '<' ? i + (c == '=' ? 3 : 2)
                   : b == '>' ? i + 2
                              : i + 1;
        case '>':
            return fin_tras_mayor(s, i);
        case '*':
            return fin_tras_asterisco(s, i);
        case '.':
            return fin_tras_punto(s, i);
        case '?':
            return b == '?' ? i + (c == '=' ? 3 : 2) : b == '-' && c == '>' ? i + 3 : i + 1;
        case '&':
        case '|':
        case '+':
            return fin_doble_o_con_igual(s, i);
        case '-':
            return b == '>' ? i + 2 : fin_doble_o_con_igual(s, i);
        case '/':
        case '%':
        case '^':
            return fin_con_igual(s, i);
        case ':':
            return b == ':' ? i + 2 : i + 1;
        default:
            return i + 1;
    }
}

[[gnu::always_inline]] inline pieza escaner_php::crea(clase_pieza clase, std::size_t fin,
                                                      matiz variante) {
    if (lineas_) {
        // Most tokens start within 16 bytes of the last one: one look under
        // a mask, here, with no call.
        if (kHayVectores && p_ - contadas_ <= 16 && f_.size() - contadas_ > 16) {
            linea_ += cuenta_saltos_16(f_.data() + contadas_, p_ - contadas_);
        } else {
            linea_ += cuenta_saltos(f_, contadas_, p_);
        }
        contadas_ = p_;
    }
    // substr's count, without its test for a start past the end (and the
    // throw behind it) on every token: p_ never is past it.
    const pieza hecha{clase, std::string_view(f_.data() + p_, std::min(fin - p_, f_.size() - p_)),
                      linea_, variante};
    p_ = fin;
    return hecha;
}

inline void escaner_php::apila(estado nuevo) {
    pila_.push_back(estado_);
    estado_ = nuevo;
}

inline void escaner_php::desapila() {
    if (!pila_.empty()) {
        estado_ = pila_.back();
        pila_.pop_back();
    }
}

// The common tokens of code, where lee() and the states that fall back to
// code call it: inlined there, so that most tokens cost no further call.
[[gnu::always_inline]] inline pieza escaner_php::en_codigo() {
    // One look at a table by the first byte picks the common tokens (names,
    // variables, numbers, strings, whitespace, most operators) with no
    // second look at that byte; whitespace and comments passed over go back
    // to that look.
    for (;;) {
        if (p_ >= f_.size()) {
            return crea(clase_pieza::fin, f_.size());
        }
        char c = f_[p_];
        // A single space between tokens, the usual gap: passed over before
        // the look at the table, not through it.
        if (!triviales_ && c == ' ' && p_ + 1 < f_.size() && !es_blanco(f_[p_ + 1])) {
            c = f_[++p_];
        }
        // The three commonest kinds (half the tokens of code) by a branch
        // each, before the jump: a jump to one of many places is foreseen
        // worse. The switch keeps their cases, unreached, to cover every kind.
        const inicio k = kInicios.de[static_cast<unsigned char>(c)];
        if (k == inicio::simple) {
            return crea(clase_pieza::codigo, p_ + 1);
        }
        if (k == inicio::nombre) {
            return nombre();
        }
        if (k == inicio::variable) {
            return crea(clase_pieza::codigo, fin_de_variable(f_, p_));
        }
        switch (k) {
            case inicio::nombre:
                return nombre();
            case inicio::variable:
                return crea(clase_pieza::codigo, fin_de_variable(f_, p_));
            case inicio::cifra:
                return crea(clase_pieza::codigo, fin_de_cifra(f_, p_));
            case inicio::comilla:
                return cadena_entre(p_);
            // Each operator's longest form, without a second look at its
            // first byte.
            case inicio::igual:
                return crea(clase_pieza::codigo, fin_tras_igual(f_, p_));
            case inicio::exclamacion:
                return crea(clase_pieza::codigo, fin_tras_exclamacion(f_, p_));
            case inicio::mayor:
                return crea(clase_pieza::codigo, fin_tras_mayor(f_, p_));
            case inicio::asterisco:
                return crea(clase_pieza::codigo, fin_tras_asterisco(f_, p_));
            case inicio::barra:
            case inicio::mas:
                return crea(clase_pieza::codigo, fin_doble_o_con_igual(f_, p_));
            case inicio::menos:
                if (en(f_, p_ + 1) == '>') {
                    apila(estado::propiedad);
                    return crea(clase_pieza::codigo, p_ + 2);
                }
                return crea(clase_pieza::codigo, fin_doble_o_con_igual(f_, p_));
            case inicio::punto:
                return crea(clase_pieza::codigo, es_cifra(en(f_, p_ + 1)) ? fin_de_numero(f_, p_)
                                                                          : fin_tras_punto(f_, p_));
            case inicio::dos_puntos:
                return crea(clase_pieza::codigo, p_ + (en(f_, p_ + 1) == ':' ? 2 : 1));
            case inicio::con_igual:
                return crea(clase_pieza::codigo, fin_con_igual(f_, p_));
            case inicio::parentesis: {
                // A cast needs a space, a tab or a name inside; anything
                // else, and `(` is alone, decided by the byte after it.
                const char d = en(f_, p_ + 1);
                if (d != ' ' && d != '\t' && !sigue_nombre(d)) {
                    anota(p_ + 1);
                    return crea(clase_pieza::codigo, p_ + 1);
                }
                return otro_en_codigo();
            }
            case inicio::simple:
                return crea(clase_pieza::codigo, p_ + 1);
            case inicio::blanco: {
                const std::size_t fin = salta_blancos(f_, p_);
                if (triviales_) {
                    return crea(clase_pieza::blanco, fin);
                }
                p_ = fin;
                continue;
            }
            case inicio::otro:
                return otro_en_codigo();
        }
    }
}

// siguiente()'s body, inlined there and in lexico_php's loops.
[[gnu::always_inline]] inline pieza escaner_php::lee_siguiente() {
    const estado antes = estado_;
    // Built where the caller wants it: a copy of a token just written field
    // by field waits on those stores. Code before __halt_compiler, most
    // tokens, goes straight to en_codigo.
    pieza leida =
        estado_ == estado::codigo && tras_halt_ != 0 && p_ < f_.size() ? en_codigo() : lee();
    // Before __halt_compiler and outside a heredoc's look ahead, nothing
    // more to do: the usual case, in one test.
    if (!atento_) {
        return leida;
    }
    tras_leer(antes, leida);
    return leida;
}

}  // namespace kexo

#endif  // KEXO_LEXICAL_ESCANER_PHP_INTERNO_H_
