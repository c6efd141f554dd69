#include "lexical/escaner_php.h"

#include <array>
#include <cctype>

#include "common/vectores.h"

namespace kexo {

namespace {

// The byte at i, or 0 past the end.
char en(std::string_view s, std::size_t i) {
    return i < s.size() ? s[i] : '\0';
}

bool es_blanco(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool es_espacio_o_tab(char c) {
    return c == ' ' || c == '\t';
}

bool es_cifra(char c) {
    return c >= '0' && c <= '9';
}

bool es_hexadecimal(char c) {
    return es_cifra(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool es_binaria(char c) {
    return c == '0' || c == '1';
}

bool es_octal(char c) {
    return c >= '0' && c <= '7';
}

// What each byte may be in a name: its first byte, or any other; and the
// bytes that may open whitespace or a comment in code.
// kNumero: after a run of digits, a byte that may carry the number on
// (`.`, `_`, an exponent, a base after a 0).
enum : unsigned char { kEmpieza = 1, kSigue = 2, kTrivial = 4, kNumero = 8 };

struct tabla_nombres {
    unsigned char de[256];
};

constexpr tabla_nombres nombres() {
    tabla_nombres t{};
    for (unsigned u = 0; u < 256; ++u) {
        const bool empieza =
            (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
        const bool cifra = u >= '0' && u <= '9';
        const bool trivial =
            u == ' ' || u == '\t' || u == '\n' || u == '\r' || u == '#' || u == '/';
        const bool numero = u == '.' || u == '_' || u == 'e' || u == 'E' || u == 'x' || u == 'X' ||
                            u == 'b' || u == 'B' || u == 'o' || u == 'O';
        t.de[u] =
            static_cast<unsigned char>((empieza ? kEmpieza | kSigue : 0) | (cifra ? kSigue : 0) |
                                       (trivial ? kTrivial : 0) | (numero ? kNumero : 0));
    }
    return t;
}

constexpr tabla_nombres kNombres = nombres();

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

constexpr tabla_inicios kInicios = inicios();

bool empieza_nombre(char c) {
    return (kNombres.de[static_cast<unsigned char>(c)] & kEmpieza) != 0;
}

bool sigue_nombre(char c) {
    return (kNombres.de[static_cast<unsigned char>(c)] & kSigue) != 0;
}

// The bytes that may go on a name: letters, digits, `_`, bytes from 0x80;
// one byte by the table.
struct bytes_de_nombre : alguna_de<letras_ascii, rango_de<'0', '9'>, bytes_de<'_'>, bytes_altos> {
    static bool contiene(char c) { return sigue_nombre(c); }
};

// The first i from i on where s[i] is one of `Bytes`, or s.size().
template <char... Bytes>
std::size_t busca(std::string_view s, std::size_t i) {
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
            n += cuenta_saltos_16(s.data() + i, 16);
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
bool hay_palabra(std::string_view s, std::size_t i, std::string_view palabra) {
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
std::size_t salta(std::string_view s, std::size_t i) {
    while (i < s.size() && Que(s[i])) {
        ++i;
    }
    return i;
}

// Past one line end at i (CR LF, LF or CR), or i when there is none.
std::size_t tras_salto(std::string_view s, std::size_t i) {
    if (en(s, i) == '\r') {
        return en(s, i + 1) == '\n' ? i + 2 : i + 1;
    }
    return en(s, i) == '\n' ? i + 1 : i;
}

// The end of digits of kind `cifra` at i, with single underscores between
// them (PHP's [0-9]+(_[0-9]+)*), or i when no digit is there.
template <bool (*Cifra)(char)>
std::size_t fin_de_cifras(std::string_view s, std::size_t i) {
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
std::size_t fin_de_prefijado(std::string_view s, std::size_t i) {
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
std::size_t fin_de_numero(std::string_view s, std::size_t i) {
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

// An offset inside "$a[...]": a decimal, 0x, 0b or 0o integer.
std::size_t fin_de_indice_numerico(std::string_view s, std::size_t i) {
    const std::size_t prefijado = fin_de_prefijado(s, i);
    return prefijado != i ? prefijado : fin_de_cifras<es_cifra>(s, i);
}

// The end of a cast at i, such as `( int )`: spaces and tabs only inside;
// `leido`, the last byte read to tell.
std::size_t fin_de_molde(std::string_view s, std::size_t i, std::size_t& leido) {
    static constexpr std::array<std::string_view, 12> kTipos = {
        "int",  "integer", "bool",   "boolean", "float",  "double",
        "real", "string",  "binary", "array",   "object", "unset"};
    const std::size_t nombre = salta<es_espacio_o_tab>(s, i + 1);
    const std::size_t fin_nombre = fin_de_nombre(s, nombre);
    const std::size_t cierre = salta<es_espacio_o_tab>(s, fin_nombre);
    leido = cierre;
    if (en(s, cierre) != ')') {
        return i;
    }
    for (const std::string_view tipo : kTipos) {
        if (tipo.size() == fin_nombre - nombre && hay_palabra(s, nombre, tipo)) {
            return cierre + 1;
        }
    }
    return i;
}

// The end of a //, # comment whose text starts at i: the line end, or a
// close tag.
std::size_t fin_de_comentario_de_linea(std::string_view s, std::size_t i) {
    i = busca<'\n', '\r', '?'>(s, i);
    while (i < s.size() && s[i] == '?' && en(s, i + 1) != '>') {
        i = busca<'\n', '\r', '?'>(s, i + 1);
    }
    return i;
}

// The end of a /* */ comment whose text starts at i: past its */.
std::size_t fin_de_comentario_de_bloque(std::string_view s, std::size_t i) {
    const std::size_t fin = s.find("*/", i);
    return fin == std::string_view::npos ? s.size() : fin + 2;
}

// A doc comment at i: /** and a whitespace byte.
bool es_documentacion(std::string_view s, std::size_t i) {
    return en(s, i + 2) == '*' && es_blanco(en(s, i + 3));
}

// The end of the operator at i: PHP's longest (===, !==, <=>, **=, ..., <<=,
// >>=, ??=, ?->, then those of two bytes), or its one byte.
std::size_t fin_de_operador(std::string_view s, std::size_t i) {
    const char b = en(s, i + 1);
    const char c = en(s, i + 2);
    switch (s[i]) {
        case '=':
            return b == '=' ? i + (c == '=' ? 3 : 2) : b == '>' ? i + 2 : i + 1;
        case '!':
            return b == '=' ? i + (c == '=' ? 3 : 2) : i + 1;
        case '<':
            return b == '='   ? i + (c == '>' ? 3 : 2)
                   : b == '<' ? i + (c == '=' ? 3 : 2)
                   : b == '>' ? i + 2
                              : i + 1;
        case '>':
            return b == '=' ? i + 2 : b == '>' ? i + (c == '=' ? 3 : 2) : i + 1;
        case '*':
            return b == '*' ? i + (c == '=' ? 3 : 2) : b == '=' ? i + 2 : i + 1;
        case '.':
            return b == '.' && c == '.' ? i + 3 : b == '=' ? i + 2 : i + 1;
        case '?':
            return b == '?' ? i + (c == '=' ? 3 : 2) : b == '-' && c == '>' ? i + 3 : i + 1;
        case '&':
            return b == '&' || b == '=' ? i + 2 : i + 1;
        case '|':
            return b == '|' || b == '=' ? i + 2 : i + 1;
        case '+':
            return b == '+' || b == '=' ? i + 2 : i + 1;
        case '-':
            return b == '-' || b == '=' || b == '>' ? i + 2 : i + 1;
        case '/':
        case '%':
        case '^':
            return b == '=' ? i + 2 : i + 1;
        case ':':
            return b == ':' ? i + 2 : i + 1;
        default:
            return i + 1;
    }
}

// A heredoc's closing marker `etiqueta` at i: PHP wants a byte after it,
// and that byte may not continue a name.
bool hay_marca(std::string_view s, std::size_t i, std::string_view etiqueta) {
    return empieza_nombre(en(s, i)) && etiqueta.size() < s.size() - i &&
           s.compare(i, etiqueta.size(), etiqueta) == 0 && !sigue_nombre(s[i + etiqueta.size()]);
}

}  // namespace

escaner_php::escaner_php(std::string_view fuente, bool en_codigo, bool triviales, bool lineas)
    : f_(fuente),
      estado_(en_codigo ? estado::codigo : estado::html),
      triviales_(triviales),
      lineas_(lineas),
      linea_(lineas ? 1 : 0) {}

std::int64_t saltos_entre(std::string_view fuente, std::size_t desde, std::size_t hasta) {
    return cuenta_saltos(fuente, desde, hasta);
}

std::uint64_t saltos_en_64(const char* p) {
    std::uint64_t m = 0;
    for (unsigned j = 0; j < 4; ++j) {
        m |= static_cast<std::uint64_t>(saltos_en_16(p + 16 * j)) << (16 * j);
    }
    return m;
}

std::size_t escaner_php::cadenas_abiertas() const {
    const auto es_cadena = [](estado e) {
        return e == estado::comillas || e == estado::acentos || e == estado::heredoc ||
               e == estado::nowdoc || e == estado::fin_heredoc;
    };
    std::size_t n = es_cadena(estado_) ? 1U : 0U;
    for (const estado e : pila_) {
        n += es_cadena(e) ? 1U : 0U;
    }
    return n;
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

bool escaner_php::mismo_estado(const escaner_php& otro) const {
    if (estado_ != otro.estado_ || tras_halt_ != otro.tras_halt_ ||
        halt_leido_ != otro.halt_leido_ || por_explorar_ != otro.por_explorar_ ||
        explorando_ != otro.explorando_ || error_ != otro.error_ || triviales_ != otro.triviales_ ||
        lineas_ != otro.lineas_ || sangria_explorada_ != otro.sangria_explorada_ ||
        pila_ != otro.pila_ || anidados_ != otro.anidados_ ||
        heredocs_.size() != otro.heredocs_.size()) {
        return false;
    }
    for (std::size_t k = 0; k < heredocs_.size(); ++k) {
        const etiqueta& e = heredocs_[k];
        const etiqueta& o = otro.heredocs_[k];
        if (e.nombre != o.nombre || e.sangria != o.sangria || e.explorada != o.explorada) {
            return false;
        }
    }
    return true;
}

void escaner_php::toma_estado(const escaner_php& otro, std::size_t posicion) {
    const std::string_view propia = f_;
    const std::size_t contadas = contadas_;
    const std::int64_t linea = linea_;
    *this = otro;
    f_ = propia;
    p_ = posicion;
    contadas_ = contadas;
    linea_ = linea;
}

void escaner_php::apila(estado nuevo) {
    pila_.push_back(estado_);
    estado_ = nuevo;
}

void escaner_php::desapila() {
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
            return crea(clase_pieza::codigo,
                        empieza_nombre(en(f_, p_ + 1)) ? fin_de_nombre(f_, p_ + 1) : p_ + 1);
        }
        switch (k) {
            case inicio::nombre:
                return nombre();
            case inicio::variable:
                return crea(clase_pieza::codigo,
                            empieza_nombre(en(f_, p_ + 1)) ? fin_de_nombre(f_, p_ + 1) : p_ + 1);
            case inicio::cifra: {
                // Digits alone, the usual number: their end, unless a byte
                // that may carry the number on follows.
                const std::size_t cifras = fin_de_cifras_decimales(f_, p_);
                if (cifras < f_.size() &&
                    (kNombres.de[static_cast<unsigned char>(f_[cifras])] & kNumero) != 0) {
                    return crea(clase_pieza::codigo, fin_de_numero(f_, p_));
                }
                return crea(clase_pieza::codigo, cifras);
            }
            case inicio::comilla:
                return cadena_entre(p_);
            // Each operator's longest form (as fin_de_operador), without a
            // second look at its first byte.
            case inicio::igual: {
                const char b = en(f_, p_ + 1);
                return crea(clase_pieza::codigo, p_ + (b == '='   ? (en(f_, p_ + 2) == '=' ? 3 : 2)
                                                       : b == '>' ? 2
                                                                  : 1));
            }
            case inicio::exclamacion:
                return crea(clase_pieza::codigo,
                            p_ + (en(f_, p_ + 1) == '=' ? (en(f_, p_ + 2) == '=' ? 3 : 2) : 1));
            case inicio::mayor: {
                const char b = en(f_, p_ + 1);
                return crea(clase_pieza::codigo, p_ + (b == '='   ? 2
                                                       : b == '>' ? (en(f_, p_ + 2) == '=' ? 3 : 2)
                                                                  : 1));
            }
            case inicio::asterisco: {
                const char b = en(f_, p_ + 1);
                return crea(clase_pieza::codigo, p_ + (b == '*'   ? (en(f_, p_ + 2) == '=' ? 3 : 2)
                                                       : b == '=' ? 2
                                                                  : 1));
            }
            case inicio::barra: {
                const char b = en(f_, p_ + 1);
                return crea(clase_pieza::codigo, p_ + (b == '|' || b == '=' ? 2 : 1));
            }
            case inicio::mas: {
                const char b = en(f_, p_ + 1);
                return crea(clase_pieza::codigo, p_ + (b == '+' || b == '=' ? 2 : 1));
            }
            case inicio::menos: {
                const char b = en(f_, p_ + 1);
                if (b == '>') {
                    apila(estado::propiedad);
                    return crea(clase_pieza::codigo, p_ + 2);
                }
                return crea(clase_pieza::codigo, p_ + (b == '-' || b == '=' ? 2 : 1));
            }
            case inicio::punto: {
                const char b = en(f_, p_ + 1);
                if (es_cifra(b)) {
                    return crea(clase_pieza::codigo, fin_de_numero(f_, p_));
                }
                return crea(clase_pieza::codigo, p_ + (b == '.' && en(f_, p_ + 2) == '.' ? 3
                                                       : b == '='                        ? 2
                                                                                         : 1));
            }
            case inicio::dos_puntos:
                return crea(clase_pieza::codigo, p_ + (en(f_, p_ + 1) == ':' ? 2 : 1));
            case inicio::con_igual:
                return crea(clase_pieza::codigo, p_ + (en(f_, p_ + 1) == '=' ? 2 : 1));
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

// The rest of code (comments, `?`, `<`, braces, `&`, `\`, a cast...), by its
// first byte: comments passed over go back to en_codigo.
pieza escaner_php::otro_en_codigo() {
    const char c = f_[p_];
    const char d = en(f_, p_ + 1);
    switch (c) {
        case '#':
            if (d == '[') {
                return crea(clase_pieza::codigo, p_ + 2);
            }
            if (triviales_) {
                return comentario_de_linea(p_ + 1);
            }
            p_ = fin_de_comentario_de_linea(f_, p_ + 1);
            return en_codigo();
        case '/':
            if (d == '/') {
                if (triviales_) {
                    return comentario_de_linea(p_ + 2);
                }
                p_ = fin_de_comentario_de_linea(f_, p_ + 2);
                return en_codigo();
            }
            if (d == '*') {
                if (triviales_ || es_documentacion(f_, p_)) {
                    return comentario_de_bloque();
                }
                p_ = fin_de_comentario_de_bloque(f_, p_ + 2);
                return en_codigo();
            }
            break;
        case '?':
            if (d == '>') {
                estado_ = estado::html;
                return crea(clase_pieza::cierre, tras_salto(f_, p_ + 2));
            }
            if (d == '-' && f_.compare(p_, 3, "?->") == 0) {
                apila(estado::propiedad);
                return crea(clase_pieza::codigo, p_ + 3);
            }
            break;
        case '`':
            estado_ = estado::acentos;
            return crea(clase_pieza::cadena, p_ + 1);
        case '<':
            if (d == '<' && f_.compare(p_, 3, "<<<") == 0) {
                if (const std::size_t cuerpo = abre_heredoc(p_); cuerpo != 0) {
                    return crea(clase_pieza::cadena, cuerpo);
                }
            }
            break;
        case '{':
            apila(estado::codigo);
            return crea(clase_pieza::codigo, p_ + 1);
        case '}':
            desapila();
            return crea(clase_pieza::codigo, p_ + 1);
        case '(': {
            std::size_t leido = p_;
            const std::size_t fin = fin_de_molde(f_, p_, leido);
            anota(leido);
            return crea(clase_pieza::codigo, std::max(fin, p_ + 1));
        }
        case '&':
            if (d != '&' && d != '=') {
                const std::size_t tras = salta_blancos(f_, p_ + 1);
                anota(tras);
                const bool seguido = en(f_, tras) == '$' || f_.compare(tras, 3, "...") == 0;
                return crea(clase_pieza::codigo, p_ + 1,
                            seguido ? matiz::ampersand_seguido : matiz::ninguno);
            }
            break;
        case '\\':
            if (empieza_nombre(d)) {
                std::size_t fin = p_;
                while (en(f_, fin) == '\\' && empieza_nombre(en(f_, fin + 1))) {
                    fin = fin_de_nombre(f_, fin + 1);
                }
                return crea(clase_pieza::codigo, fin);
            }
            return crea(clase_pieza::codigo, p_ + 1);
        default:
            break;
    }
    return crea(clase_pieza::codigo, fin_de_operador(f_, p_));
}

pieza escaner_php::lee() {
    if (p_ >= f_.size()) {
        p_ = f_.size();
        return crea(clase_pieza::fin, f_.size());
    }
    if (tras_halt_ == 0) {
        return crea(clase_pieza::datos, f_.size());
    }
    switch (estado_) {
        case estado::html:
            return en_html();
        case estado::codigo:
            return en_codigo();
        case estado::propiedad:
            return en_propiedad();
        case estado::comillas:
            return en_interpolada('"');
        case estado::acentos:
            return en_interpolada('`');
        case estado::heredoc:
            return en_heredoc();
        case estado::nowdoc:
            return en_nowdoc();
        case estado::fin_heredoc: {
            const etiqueta cerrada = heredocs_.empty() ? etiqueta{} : heredocs_.back();
            if (!heredocs_.empty()) {
                heredocs_.pop_back();
            }
            estado_ = estado::codigo;
            return crea(clase_pieza::cadena, p_ + cerrada.sangria + cerrada.nombre.size(),
                        matiz::cierre_heredoc);
        }
        case estado::nombre_variable: {
            // ${name[ or ${name}: the name of a variable; anything else is code.
            const std::size_t fin = fin_de_nombre(f_, p_);
            anota(fin);
            desapila();
            apila(estado::codigo);
            if (empieza_nombre(en(f_, p_)) && (en(f_, fin) == '[' || en(f_, fin) == '}')) {
                return crea(clase_pieza::codigo, fin, matiz::nombre_variable);
            }
            return en_codigo();
        }
        case estado::indice:
            return en_indice();
    }
    return crea(clase_pieza::fin, f_.size());
}

// siguiente()'s body, inlined there and in lee_mientras_iguales.
[[gnu::always_inline]] inline pieza escaner_php::lee_siguiente() {
    const estado antes = estado_;
    // Built where the caller wants it: a copy of a token just written field
    // by field waits on those stores. Code before __halt_compiler, most
    // tokens, goes straight to en_codigo.
    pieza leida =
        estado_ == estado::codigo && tras_halt_ != 0 && p_ < f_.size() ? en_codigo() : lee();
    // Before __halt_compiler and outside a heredoc's look ahead, nothing
    // more to do: the usual case, in one test.
    if ((tras_halt_ <= 0) & !halt_leido_ & !explorando_ & !por_explorar_) {
        return leida;
    }
    tras_leer(antes, leida);
    return leida;
}

pieza escaner_php::siguiente() {
    return lee_siguiente();
}

namespace {

// The n bytes at x and at y are the same; x_fin and y_fin end their
// buffers. Up to 16 bytes, where both buffers hold 16 from there, one compare
// of 16 under a mask of the length: no branch on the length, which varies
// from token to token.
[[gnu::always_inline]] inline bool mismos_bytes(const char* x, const char* x_fin, const char* y,
                                                const char* y_fin, std::size_t n) {
    if (kHayVectores && n <= 16 && x_fin - x >= 16 && y_fin - y >= 16) {
        return mismos_16(x, y, n);
    }
    return std::string_view(x, n) == std::string_view(y, n);
}

}  // namespace

// The scanner inlined into the loop, and each token compared where it is
// made: no call and no token through memory per token.
pieza escaner_php::lee_mientras_iguales(const pieza_guardada*& guardada,
                                        const pieza_guardada* ultima, std::string_view original,
                                        std::int64_t desfase) {
    const char* const base = original.data();
    const char* const fin_base = base + original.size();
    const char* const fin_propio = f_.data() + f_.size();
    for (const pieza_guardada* q = guardada;;) {
        // A token of its own each round, never assigned again: a copy of one
        // just written field by field waits on those stores.
        const pieza b = lee_siguiente();
        if (b.clase == clase_pieza::blanco || b.clase == clase_pieza::comentario) {
            continue;
        }
        const std::string_view texto = sin_lo_que_toma(b.clase, b.texto);
        if (q == ultima ||
            !((q->clase == b.clase) & (q->variante == b.variante) & (q->largo == texto.size()) &
              (static_cast<std::int64_t>(q->linea) == b.linea + desfase)) ||
            !mismos_bytes(base + q->desde, fin_base, texto.data(), fin_propio, q->largo)) {
            guardada = q;
            return {b.clase, texto, b.linea, b.variante};
        }
        ++q;
    }
}

// Both scanners inlined into the loop: no call per token, and each pair
// compared where it is made.
pieza escaner_php::lee_a_la_par(escaner_php& fuente, std::int64_t desfase, pieza& a,
                                pieza& previa) {
    const char* const fin_fuente = fuente.f_.data() + fuente.f_.size();
    const char* const fin_propio = f_.data() + f_.size();
    clase_pieza clase_previa = clase_pieza::fin;
    std::string_view texto_previo;
    for (;;) {
        pieza x = fuente.lee_siguiente();
        while (x.clase == clase_pieza::blanco || x.clase == clase_pieza::comentario) {
            x = fuente.lee_siguiente();
        }
        pieza b = lee_siguiente();
        while (b.clase == clase_pieza::blanco || b.clase == clase_pieza::comentario) {
            b = lee_siguiente();
        }
        const std::string_view tx = sin_lo_que_toma(x.clase, x.texto);
        const std::string_view tb = sin_lo_que_toma(b.clase, b.texto);
        if (x.clase == clase_pieza::fin ||
            !((x.clase == b.clase) & (x.variante == b.variante) & (tx.size() == tb.size()) &
              (x.linea == b.linea + desfase)) ||
            !mismos_bytes(tx.data(), fin_fuente, tb.data(), fin_propio, tx.size())) {
            a = {x.clase, tx, x.linea, x.variante};
            previa = {clase_previa, texto_previo, 0};
            return {b.clase, tb, b.linea, b.variante};
        }
        clase_previa = x.clase;
        texto_previo = tx;
    }
}

void escaner_php::tras_leer(estado antes, const pieza& leida) {
    // PHP's tokenizer reads three tokens after __halt_compiler, whitespace
    // and comments aside; what follows is raw data.
    const bool etiqueta_php = leida.clase == clase_pieza::apertura && leida.texto.size() >= 5;
    if (tras_halt_ > 0 && leida.clase != clase_pieza::blanco &&
        leida.clase != clase_pieza::comentario && leida.clase != clase_pieza::documentacion &&
        !etiqueta_php) {
        --tras_halt_;
    }
    if (halt_leido_ && tras_halt_ < 0) {
        tras_halt_ = 3;
    }
    halt_leido_ = false;
    if (explorando_) {
        vigila(antes, leida);
    }
    if (por_explorar_) {
        por_explorar_ = false;
        explora();
    }
}

void escaner_php::explora() {
    escaner_php adelante = *this;
    adelante.explorando_ = true;
    adelante.error_ = false;
    adelante.anidados_.clear();
    adelante.sangria_explorada_ = 0;
    const std::size_t abiertos = heredocs_.size();
    for (;;) {
        const pieza leida = adelante.siguiente();
        if (leida.clase == clase_pieza::fin || adelante.error_ ||
            adelante.heredocs_.size() < abiertos) {
            break;
        }
    }
    heredocs_.back().sangria = adelante.sangria_explorada_;
    heredocs_.back().explorada = true;
    alcance_ = std::max(alcance_, adelante.alcance());
}

void escaner_php::vigila(estado antes, const pieza& leida) {
    if (leida.clase != clase_pieza::codigo || antes == estado::indice) {
        return;
    }
    const std::string_view t = leida.texto;
    if (t == "{" || t == "${" || t == "(" || t == "[" || t == "#[") {
        anidados_.push_back(t.back() == '[' ? '[' : t.back() == '(' ? '(' : '{');
        return;
    }
    if (t == "}" || t == ")" || t == "]") {
        const char abre = t == "}" ? '{' : t == ")" ? '(' : '[';
        if (anidados_.empty() || anidados_.back() != abre) {
            error_ = true;
        } else {
            anidados_.pop_back();
        }
        return;
    }
    // An octal integer with an 8 or a 9.
    if (t.size() > 1 && t[0] == '0' &&
        t.find_first_not_of("0123456789_") == std::string_view::npos &&
        t.find_first_of("89") != std::string_view::npos) {
        error_ = true;
    }
}

pieza escaner_php::en_html() {
    if (f_.compare(p_, 3, "<?=") == 0) {
        estado_ = estado::codigo;
        return crea(clase_pieza::apertura, p_ + 3);
    }
    if (f_.compare(p_, 2, "<?") == 0 && hay_palabra(f_, p_ + 2, "php")) {
        const std::size_t tras = p_ + 5;
        if (tras == f_.size() || es_blanco(f_[tras])) {
            estado_ = estado::codigo;
            const std::size_t salto = tras_salto(f_, tras);
            return crea(clase_pieza::apertura,
                        salto != tras ? salto : std::min(tras + 1, f_.size()));
        }
    }
    for (std::size_t desde = p_ + 1;;) {
        const std::size_t q = f_.find('<', desde);
        if (q == std::string_view::npos) {
            return crea(clase_pieza::html, f_.size());
        }
        if (en(f_, q + 1) == '?' &&
            (en(f_, q + 2) == '=' ||
             (hay_palabra(f_, q + 2, "php") && (q + 5 == f_.size() || es_blanco(f_[q + 5]))))) {
            return crea(clase_pieza::html, q);
        }
        desde = q + 1;
    }
}

pieza escaner_php::comentario_de_linea(std::size_t desde) {
    return crea(clase_pieza::comentario, fin_de_comentario_de_linea(f_, desde));
}

pieza escaner_php::comentario_de_bloque() {
    const bool doc = es_documentacion(f_, p_);
    return crea(doc ? clase_pieza::documentacion : clase_pieza::comentario,
                fin_de_comentario_de_bloque(f_, p_ + (doc ? 4 : 2)));
}

std::size_t escaner_php::fin_de_trivial(std::size_t i) const {
    const char c = en(f_, i);
    const char d = en(f_, i + 1);
    if (es_blanco(c)) {
        return salta_blancos(f_, i);
    }
    if ((c == '#' && d != '[') || (c == '/' && d == '/')) {
        return fin_de_comentario_de_linea(f_, i + (c == '#' ? 1 : 2));
    }
    if (c == '/' && d == '*' && !es_documentacion(f_, i)) {
        return fin_de_comentario_de_bloque(f_, i + 2);
    }
    return i;
}

pieza escaner_php::en_propiedad() {
    const char c = f_[p_];
    if (es_blanco(c)) {
        return crea(clase_pieza::blanco, salta_blancos(f_, p_));
    }
    if (c == '-' && en(f_, p_ + 1) == '>') {
        return crea(clase_pieza::codigo, p_ + 2);
    }
    if (c == '?' && f_.compare(p_, 3, "?->") == 0) {
        return crea(clase_pieza::codigo, p_ + 3);
    }
    if (empieza_nombre(c)) {
        desapila();
        return crea(clase_pieza::codigo, fin_de_nombre(f_, p_));
    }
    // Comments keep PHP looking for the name: `#[` here is a comment too.
    if (c == '#') {
        return comentario_de_linea(p_ + 1);
    }
    if (c == '/' && en(f_, p_ + 1) == '/') {
        return comentario_de_linea(p_ + 2);
    }
    if (c == '/' && en(f_, p_ + 1) == '*') {
        return comentario_de_bloque();
    }
    desapila();
    return siguiente_en_estado();
}

pieza escaner_php::siguiente_en_estado() {
    switch (estado_) {
        case estado::comillas:
            return en_interpolada('"');
        case estado::acentos:
            return en_interpolada('`');
        case estado::heredoc:
            return en_heredoc();
        default:
            return en_codigo();
    }
}

pieza escaner_php::nombre() {
    const char c = f_[p_];
    if (c == 'b' || c == 'B') {
        const char q = en(f_, p_ + 1);
        if (q == '\'' || q == '"') {
            return cadena_entre(p_ + 1);
        }
        if (en(f_, p_ + 1) == '<' && f_.compare(p_ + 1, 3, "<<<") == 0) {
            if (const std::size_t cuerpo = abre_heredoc(p_ + 1); cuerpo != 0) {
                return crea(clase_pieza::cadena, cuerpo);
            }
        }
    }
    std::size_t fin = fin_de_nombre(f_, p_);
    if (en(f_, fin) == '\\' && empieza_nombre(en(f_, fin + 1))) {
        while (en(f_, fin) == '\\' && empieza_nombre(en(f_, fin + 1))) {
            fin = fin_de_nombre(f_, fin + 1);
        }
        return crea(clase_pieza::codigo, fin);
    }
    // `yield from` and `enum` are decided past the whitespace after the
    // name, and so reach there for every name of their lengths (and of
    // __LINE__'s and __halt_compiler's): taken without a branch on the
    // length, which real names make hard to foresee. The words themselves
    // are looked for only when the first byte may start one.
    const std::size_t largo = fin - p_;
    constexpr unsigned kLargos = 1U << 4 | 1U << 5 | 1U << 8 | 1U << 15;
    const bool mira = largo < 16 && ((kLargos >> largo) & 1U) != 0;
    const std::size_t tras = salta_blancos(f_, fin);
    alcance_ = std::max(alcance_, mira ? tras + kMargen : 0);
    const char primera = static_cast<char>(c | 0x20);
    if (!mira || (primera != 'y' && primera != 'e' && primera != ('_' | 0x20))) {
        return crea(clase_pieza::codigo, fin);
    }
    if (largo == 5 && hay_palabra(f_, p_, "yield") && tras > fin && hay_palabra(f_, tras, "from") &&
        !sigue_nombre(en(f_, tras + 4))) {
        return crea(clase_pieza::codigo, tras + 4);  // `yield from`, one token
    }
    if (largo == 4 && hay_palabra(f_, p_, "enum") && tras > fin && empieza_nombre(en(f_, tras)) &&
        !hay_palabra(f_, tras, "extends") && !hay_palabra(f_, tras, "implements")) {
        return crea(clase_pieza::codigo, fin, matiz::enum_clave);
    }
    if (largo == 15 && hay_palabra(f_, p_, "__halt_compiler")) {
        halt_leido_ = true;
    }
    if (largo == 8 && hay_palabra(f_, p_, "__line__")) {
        return crea(clase_pieza::codigo, fin, matiz::linea_magica);
    }
    return crea(clase_pieza::codigo, fin);
}

pieza escaner_php::cadena_entre(std::size_t comilla) {
    if (f_[comilla] == '\'') {
        for (std::size_t i = busca<'\'', '\\'>(f_, comilla + 1); i < f_.size();
             i = busca<'\'', '\\'>(f_, i + 2)) {
            if (f_[i] == '\'') {
                return crea(clase_pieza::cadena, i + 1);
            }
        }
        return crea(clase_pieza::cadena, f_.size());
    }
    // "...": whole when nothing is interpolated; else its quote, and the
    // string is read part by part.
    std::size_t i = comilla + 1;
    for (; i < f_.size(); ++i) {
        i = busca<'"', '$', '{', '\\'>(f_, i);
        if (i >= f_.size()) {
            break;
        }
        const char c = f_[i];
        if (c == '"') {
            return crea(clase_pieza::cadena, i + 1);
        }
        if ((c == '$' && (empieza_nombre(en(f_, i + 1)) || en(f_, i + 1) == '{')) ||
            (c == '{' && en(f_, i + 1) == '$')) {
            break;
        }
        if (c == '\\') {
            ++i;
        }
    }
    // The quote alone, but decided by where the first part opens.
    anota(std::min(i, f_.size()));
    estado_ = estado::comillas;
    return crea(clase_pieza::cadena, comilla + 1);
}

std::size_t escaner_php::abre_heredoc(std::size_t marca) {
    std::size_t i = salta<es_espacio_o_tab>(f_, marca + 3);
    anota(i);
    const char comilla = en(f_, i) == '\'' || en(f_, i) == '"' ? f_[i] : '\0';
    i += comilla != '\0' ? 1 : 0;
    if (!empieza_nombre(en(f_, i))) {
        return 0;
    }
    const std::size_t inicio = i;
    i = fin_de_nombre(f_, i);
    anota(i);
    const std::string_view nombre = f_.substr(inicio, i - inicio);
    if (comilla != '\0' && en(f_, i++) != comilla) {
        return 0;
    }
    const std::size_t cuerpo = tras_salto(f_, i);
    if (cuerpo == i) {
        return 0;
    }
    heredocs_.push_back({nombre, 0});
    estado_ = comilla == '\'' ? estado::nowdoc : estado::heredoc;
    // Closed on its first line already?
    const std::size_t marca_final = salta<es_espacio_o_tab>(f_, cuerpo);
    anota(marca_final + nombre.size());
    if (marca_final < f_.size() && hay_marca(f_, marca_final, nombre)) {
        heredocs_.back().sangria = marca_final - cuerpo;
        estado_ = estado::fin_heredoc;
        const std::string_view sangria = f_.substr(cuerpo, marca_final - cuerpo);
        if (sangria.find(' ') != std::string_view::npos &&
            sangria.find('\t') != std::string_view::npos) {
            error_ = true;  // tabs and spaces mixed: PHP throws, even in its tokenizer
        }
    } else if (comilla != '\'' && !explorando_) {
        por_explorar_ = true;
    }
    return cuerpo;
}

pieza escaner_php::variable_en_cadena() {
    const std::size_t fin = fin_de_nombre(f_, p_ + 1);
    if ((f_.compare(fin, 2, "->") == 0 && empieza_nombre(en(f_, fin + 2))) ||
        (f_.compare(fin, 3, "?->") == 0 && empieza_nombre(en(f_, fin + 3)))) {
        apila(estado::propiedad);
    } else if (en(f_, fin) == '[') {
        apila(estado::indice);
    }
    return crea(clase_pieza::codigo, fin);
}

bool escaner_php::abre_parte_interpolada(pieza& parte) {
    const char c = f_[p_];
    if (c == '{' && en(f_, p_ + 1) == '$') {
        apila(estado::codigo);
        parte = crea(clase_pieza::codigo, p_ + 1);
        return true;
    }
    if (c == '$' && en(f_, p_ + 1) == '{') {
        apila(estado::nombre_variable);
        parte = crea(clase_pieza::codigo, p_ + 2);
        return true;
    }
    if (c == '$' && empieza_nombre(en(f_, p_ + 1))) {
        parte = variable_en_cadena();
        return true;
    }
    return false;
}

pieza escaner_php::en_interpolada(char cierre) {
    const char c = f_[p_];
    if (c == cierre) {
        estado_ = estado::codigo;
        return crea(clase_pieza::cadena, p_ + 1);
    }
    if (pieza parte{}; abre_parte_interpolada(parte)) {
        return parte;
    }
    std::size_t i = p_ + (c == '\\' ? 2 : 1);
    for (; i < f_.size(); ++i) {
        i = busca<'"', '`', '$', '{', '\\'>(f_, i);
        if (i >= f_.size()) {
            break;
        }
        const char d = f_[i];
        if (d == cierre || (d == '$' && (empieza_nombre(en(f_, i + 1)) || en(f_, i + 1) == '{')) ||
            (d == '{' && en(f_, i + 1) == '$')) {
            break;
        }
        if (d == '\\') {
            ++i;
        }
    }
    return crea(clase_pieza::cadena, std::min(i, f_.size()));
}

bool escaner_php::cierra_heredoc(char salto, std::size_t& i, std::size_t& fin_contenido) {
    // i: just past the first byte of a line end inside the body, `salto`; a
    // CR LF is one line end.
    if (salto == '\r' && en(f_, i) == '\n') {
        ++i;
    }
    const std::size_t marca = salta<es_espacio_o_tab>(f_, i);
    anota(marca + (heredocs_.empty() ? 0 : heredocs_.back().nombre.size()));
    if (marca == f_.size()) {
        fin_contenido = f_.size();
        return true;
    }
    if (!heredocs_.empty() && hay_marca(f_, marca, heredocs_.back().nombre)) {
        if (!heredocs_.back().explorada) {
            heredocs_.back().sangria = marca - i;
        }
        if (explorando_ && estado_ == estado::heredoc) {
            sangria_explorada_ = marca - i;
        }
        estado_ = estado::fin_heredoc;
        fin_contenido = i;
        return true;
    }
    return false;
}

pieza escaner_php::en_heredoc() {
    if (pieza parte{}; abre_parte_interpolada(parte)) {
        return parte;
    }
    for (std::size_t i = p_; i < f_.size();) {
        i = busca<'\n', '\r', '$', '{', '\\'>(f_, i);
        if (i >= f_.size()) {
            break;
        }
        const char d = f_[i++];
        if (d == '\n' || d == '\r') {
            std::size_t fin = 0;
            if (cierra_heredoc(d, i, fin)) {
                return crea(clase_pieza::cadena, fin);
            }
        } else if ((d == '$' && (empieza_nombre(en(f_, i)) || en(f_, i) == '{')) ||
                   (d == '{' && en(f_, i) == '$')) {
            return crea(clase_pieza::cadena, i - 1);
        } else if (d == '\\' && i < f_.size() && f_[i] != '\n' && f_[i] != '\r') {
            ++i;
        }
    }
    return crea(clase_pieza::cadena, f_.size());
}

pieza escaner_php::en_nowdoc() {
    for (std::size_t i = p_; i < f_.size();) {
        i = busca<'\n', '\r'>(f_, i);
        if (i >= f_.size()) {
            break;
        }
        const char d = f_[i++];
        if (d == '\n' || d == '\r') {
            std::size_t fin = 0;
            if (cierra_heredoc(d, i, fin)) {
                return crea(clase_pieza::cadena, fin);
            }
        }
    }
    return crea(clase_pieza::cadena, f_.size());
}

pieza escaner_php::en_indice() {
    const char c = f_[p_];
    if (c == ']') {
        desapila();
        return crea(clase_pieza::codigo, p_ + 1);
    }
    if (es_cifra(c)) {
        return crea(clase_pieza::codigo, fin_de_indice_numerico(f_, p_));
    }
    if (c == '$' && empieza_nombre(en(f_, p_ + 1))) {
        return crea(clase_pieza::codigo, fin_de_nombre(f_, p_ + 1));
    }
    if (empieza_nombre(c)) {
        return crea(clase_pieza::codigo, fin_de_nombre(f_, p_));
    }
    if (std::string_view(" \n\r\t\\'#").find(c) != std::string_view::npos) {
        // PHP leaves the offset here, with an empty piece of string.
        desapila();
        return crea(clase_pieza::cadena, p_);
    }
    // A quote here is one byte of its own, not the string's end.
    return crea(c == '"' || c == '`' ? clase_pieza::cadena : clase_pieza::codigo, p_ + 1);
}

namespace {

// Where salta_codigo looks closer: quotes, backtick, `/`, `#`, `?`, `<`, `-`,
// `{`, `}`, and a `_` that another follows (`__halt_compiler`, `__LINE__`).
// `d` is the byte after `c`.
bool es_parada(char c, char d) {
    switch (c) {
        case '\'':
        case '"':
        case '`':
        case '/':
        case '#':
        case '?':
        case '<':
        case '-':
        case '{':
        case '}':
            return true;
        case '_':
            return d == '_';
        default:
            return false;
    }
}

// The bytes among the 16 at p where es_parada holds, as bits.
// REQUIRES: p[16] can be read.
inline unsigned paradas_en_16(const char* p) {
    using paradas = bytes_de<'\'', '"', '`', '/', '#', '?', '<', '-', '{', '}'>;
    using guion = bytes_de<'_'>;
    return clase_en_16<paradas>(p) | (clase_en_16<guion>(p) & clase_en_16<guion>(p + 1));
}

// The first i in [desde, limite) where es_parada holds, or limite. With
// vectors, 32 bytes at a time while one more can be read; byte by byte
// elsewhere and for the last bytes: both find the same byte.
std::size_t busca_parada(std::string_view s, std::size_t i, std::size_t limite) {
    if constexpr (kHayVectores) {
        const char* const p = s.data();
        for (; i < limite && s.size() - i > 32; i += 32) {
            const unsigned m = paradas_en_16(p + i) | (paradas_en_16(p + i + 16) << 16U);
            if (m != 0) {
                return std::min(limite, i + static_cast<std::size_t>(__builtin_ctz(m)));
            }
        }
    }
    for (; i < limite; ++i) {
        if (es_parada(s[i], en(s, i + 1))) {
            return i;
        }
    }
    return limite;
}

// Where the bytes of a name that end at `fin` begin, not before `desde`.
std::size_t inicio_de_palabra(std::string_view s, std::size_t desde, std::size_t fin) {
    while (fin > desde && sigue_nombre(s[fin - 1])) {
        --fin;
    }
    return fin;
}

// Whether the name bytes from w on are one token that started at w or
// before it (a name, a variable, a name after `\`), with `desde` where a
// token starts: a digit first, or a `.` before, may make a number of some.
bool palabra_de_un_token(std::string_view s, std::size_t desde, std::size_t w) {
    return empieza_nombre(s[w]) && (w == desde || s[w - 1] != '.');
}

// The end of the '...' or "..." at i when it is one token, nothing
// interpolated, and it ends by `limite`; else i.
std::size_t fin_de_cadena_simple(std::string_view s, std::size_t i, std::size_t limite) {
    const std::size_t n = s.size();
    if (s[i] == '\'') {
        for (std::size_t k = busca<'\'', '\\'>(s, i + 1); k < n && k < limite;
             k = busca<'\'', '\\'>(s, k + 2)) {
            if (s[k] == '\'') {
                return k + 1 <= limite ? k + 1 : i;
            }
        }
        return i;
    }
    for (std::size_t k = i + 1; k < n && k < limite; ++k) {
        k = busca<'"', '$', '{', '\\'>(s, k);
        if (k >= n || k >= limite) {
            return i;
        }
        const char c = s[k];
        if (c == '"') {
            return k + 1 <= limite ? k + 1 : i;
        }
        if ((c == '$' && (empieza_nombre(en(s, k + 1)) || en(s, k + 1) == '{')) ||
            (c == '{' && en(s, k + 1) == '$')) {
            return i;
        }
        if (c == '\\') {
            ++k;
        }
    }
    return i;
}

// Just past the last `;`, `,`, `)` or `]` in [desde, hasta), or desde: a
// token or whitespace starts there, as no token of code runs past them.
std::size_t tras_separador(std::string_view s, std::size_t desde, std::size_t hasta) {
    for (std::size_t k = hasta; k > desde; --k) {
        const char c = s[k - 1];
        if (c == ';' || c == ',' || c == ')' || c == ']') {
            return k;
        }
    }
    return desde;
}

// salta_codigo looks this far at most: where nothing stops it, the scanner
// reads the tokens past the last separator one by one and looks again.
constexpr std::size_t kVentana = 1024;
// How many tokens the scanner reads alone after a look that found nowhere to
// stop, before salta_codigo looks again.
constexpr std::uint8_t kEspera = 32;

}  // namespace

void escaner_php::salta_codigo(std::size_t hasta, std::size_t& ultimo) {
    if (espera_ > 0) {
        --espera_;
        return;
    }
    if (estado_ != estado::codigo || triviales_ || tras_halt_ >= 0 || halt_leido_ || explorando_ ||
        por_explorar_) {
        return;
    }
    const std::size_t n = f_.size();
    const bool todo = hasta == SIZE_MAX;
    if (!todo && hasta < p_ + 2 * kMargen) {
        return;
    }
    // A token that starts before `limite` and ends by it is decided by bytes
    // a few past it at most: alcance() stays within `hasta`.
    std::size_t limite = todo ? n : std::min(n, hasta - kMargen);
    // Whether the bytes up to `limite` end the source: its end is a token's.
    bool al_fin = todo;
    if (limite - p_ > kVentana) {
        limite = p_ + kVentana;
        al_fin = false;
    }
    // `tramo`: where a token or whitespace starts; the bytes from there to the
    // next stop are names, numbers, variables, whitespace and operators that
    // leave the state as it is.
    std::size_t tramo = p_;
    std::size_t i = p_;
    std::size_t llegada = p_;
    // Whether it found no byte to stop at, nor a separator before the window's
    // end or a token in doubt.
    bool sin_parada = false;
    for (;;) {
        const std::size_t s = busca_parada(f_, i, limite);
        if (s >= limite) {
            llegada = al_fin ? n : tras_separador(f_, tramo, limite);
            sin_parada = true;
            break;
        }
        const char c = f_[s];
        const char d = en(f_, s + 1);
        const char antes = s > tramo ? f_[s - 1] : ' ';
        std::size_t fin = s;
        // Where a token's start is in doubt, the scanner reads from the last
        // separator before it.
        bool duda = false;
        switch (c) {
            case '_':
                // `__` inside a name or variable starts no token.
                if (antes == '$' || antes == '\\') {
                    i = salta<sigue_nombre>(f_, s);
                    continue;
                }
                if (sigue_nombre(antes)) {
                    if (!palabra_de_un_token(f_, tramo, inicio_de_palabra(f_, tramo, s))) {
                        duda = true;
                        break;
                    }
                    i = salta<sigue_nombre>(f_, s);
                    continue;
                }
                break;
            case '-':
                // A number's exponent, `1e-5`, or a name's end?
                if ((antes == 'e' || antes == 'E') && es_cifra(d) &&
                    !palabra_de_un_token(f_, tramo, inicio_de_palabra(f_, tramo, s))) {
                    duda = true;
                    break;
                }
                if (d == '>' && empieza_nombre(en(f_, s + 2))) {
                    fin = salta<sigue_nombre>(f_, s + 2);  // ->name: the name is a property
                } else if (d != '>') {
                    fin = fin_de_operador(f_, s);
                }
                break;
            case '?':
                if (d == '-' && en(f_, s + 2) == '>') {
                    if (empieza_nombre(en(f_, s + 3))) {
                        fin = salta<sigue_nombre>(f_, s + 3);
                    }
                } else if (d != '>') {
                    fin = fin_de_operador(f_, s);
                }
                break;
            case '<':
                if (f_.compare(s, 3, "<<<") != 0) {
                    fin = fin_de_operador(f_, s);
                } else {
                    duda = antes == 'b' || antes == 'B';  // b<<< opens a heredoc from the b
                }
                break;
            case '/':
                if (d != '/' && d != '*') {
                    fin = fin_de_operador(f_, s);
                }
                break;
            case '\'':
            case '"':
                duda = antes == 'b' || antes == 'B';  // b'...' is a string from the b
                fin = duda ? s : fin_de_cadena_simple(f_, s, limite);
                break;
            case '{':
                apila(estado::codigo);
                fin = s + 1;
                break;
            case '}':
                if (!pila_.empty() && pila_.back() != estado::codigo) {
                    break;  // the end of a part of a string
                }
                desapila();
                fin = s + 1;
                break;
            default:
                break;
        }
        if (duda) {
            llegada = tras_separador(f_, tramo, s);
            sin_parada = true;
            break;
        }
        if (fin == s || fin > limite) {
            llegada = s;
            break;
        }
        ultimo = fin - 1;
        tramo = i = fin;
    }
    if (llegada == p_) {
        if (sin_parada) {
            espera_ = kEspera;
        }
        return;
    }
    // The last token passed over ends before the whitespace at llegada.
    std::size_t k = llegada;
    while (k > tramo && es_blanco(f_[k - 1])) {
        --k;
    }
    if (k > tramo) {
        ultimo = k - 1;
    }
    anota(llegada);
    p_ = llegada;
}

}  // namespace kexo
