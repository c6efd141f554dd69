#include "lexical/lexico_php.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kexo {

namespace {

// The byte at i, or 0 past the end.
char en(std::string_view s, std::size_t i) {
    return i < s.size() ? s[i] : '\0';
}

bool es_blanco(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool es_cifra(char c) {
    return c >= '0' && c <= '9';
}

bool empieza_nombre(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
}

bool sigue_nombre(char c) {
    return empieza_nombre(c) || es_cifra(c);
}

// True when `s` holds `palabra` at i, in any letter case.
bool hay_palabra(std::string_view s, std::size_t i, std::string_view palabra) {
    if (s.size() - std::min(i, s.size()) < palabra.size()) {
        return false;
    }
    for (std::size_t k = 0; k < palabra.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(s[i + k])) != palabra[k]) {
            return false;
        }
    }
    return true;
}

std::size_t salta(std::string_view s, std::size_t i, bool (*que)(char)) {
    while (i < s.size() && que(s[i])) {
        ++i;
    }
    return i;
}

bool es_espacio_o_tab(char c) {
    return c == ' ' || c == '\t';
}

// Past one line end at i (LF, CR LF or CR), or i when there is none.
std::size_t tras_salto(std::string_view s, std::size_t i) {
    if (en(s, i) == '\r') {
        return en(s, i + 1) == '\n' ? i + 2 : i + 1;
    }
    return en(s, i) == '\n' ? i + 1 : i;
}

// The end of a `//` or `#` comment whose text starts at i: past its line end,
// or at a `?>`, which closes the PHP block.
std::size_t fin_de_comentario_de_linea(std::string_view s, std::size_t i) {
    for (; i < s.size(); ++i) {
        if (s[i] == '\n' || s[i] == '\r') {
            return tras_salto(s, i);
        }
        if (s[i] == '?' && en(s, i + 1) == '>') {
            return i;
        }
    }
    return i;
}

std::size_t fin_de_comentario_de_bloque(std::string_view s, std::size_t i) {
    const std::size_t fin = s.find("*/", i);
    return fin == std::string_view::npos ? s.size() : fin + 2;
}

// The end of a single-quoted string whose quote is at i.
std::size_t fin_de_simples(std::string_view s, std::size_t i) {
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == '\'') {
            return i + 1;
        }
    }
    return s.size();
}

// How deep strings and braces may nest in one another: deeper, the rest of
// the source is taken as one string, compared whole.
constexpr int kHonduraMaxima = 64;

std::size_t fin_de_llaves(std::string_view s, std::size_t i, int anidadas);

// Past the text of a double-quoted string, backtick string or heredoc body
// from i, up to `cierre` (0: to the end), over escapes and {$...} and ${...}.
std::size_t fin_de_interpolada(std::string_view s, std::size_t i, char cierre, int anidadas) {
    if (anidadas > kHonduraMaxima) {
        return s.size();
    }
    for (; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == cierre) {
            return i + 1;
        } else if ((s[i] == '{' && en(s, i + 1) == '$') || (s[i] == '$' && en(s, i + 1) == '{')) {
            i = fin_de_llaves(s, s[i] == '{' ? i : i + 1, anidadas + 1) - 1;
        }
    }
    return s.size();
}

// A heredoc or nowdoc opening at i: its marker, and where its body starts.
// The body is compared whole, so a nowdoc needs nothing of its own.
struct heredoc {
    std::string_view etiqueta;
    std::size_t cuerpo;
};

bool abre_heredoc(std::string_view s, std::size_t i, heredoc& h) {
    if (s.compare(std::min(i, s.size()), 3, "<<<") != 0) {
        return false;
    }
    std::size_t p = salta(s, i + 3, es_espacio_o_tab);
    const char comilla = en(s, p) == '\'' || en(s, p) == '"' ? s[p] : '\0';
    p += comilla != '\0' ? 1 : 0;
    if (!empieza_nombre(en(s, p))) {
        return false;
    }
    const std::size_t nombre = p;
    p = salta(s, p, sigue_nombre);
    h.etiqueta = s.substr(nombre, p - nombre);
    if (comilla != '\0' && en(s, p++) != comilla) {
        return false;
    }
    h.cuerpo = tras_salto(s, p);
    return h.cuerpo != p;
}

// The end of a heredoc's closing marker: the first line, from the body on,
// that holds the marker after spaces and tabs, no name byte following it.
std::size_t fin_de_heredoc(std::string_view s, const heredoc& h) {
    for (std::size_t linea = h.cuerpo; linea < s.size();) {
        const std::size_t p = salta(s, linea, es_espacio_o_tab);
        if (s.compare(p, h.etiqueta.size(), h.etiqueta) == 0 &&
            !sigue_nombre(en(s, p + h.etiqueta.size()))) {
            return p + h.etiqueta.size();
        }
        const std::size_t salto = s.find_first_of("\r\n", p);
        if (salto == std::string_view::npos) {
            break;
        }
        linea = tras_salto(s, salto);
    }
    return s.size();
}

// The end of a string of any kind starting at i, or i when none starts there;
// `anidadas` counts the strings and braces it stands in.
std::size_t fin_de_cadena(std::string_view s, std::size_t i, int anidadas = 0) {
    heredoc h;
    switch (en(s, i)) {
        case '\'':
            return fin_de_simples(s, i);
        case '"':
        case '`':
            return fin_de_interpolada(s, i + 1, s[i], anidadas);
        case '<':
            return abre_heredoc(s, i, h) ? fin_de_heredoc(s, h) : i;
        default:
            return i;
    }
}

// Past the comments and whitespace at i, inside code.
std::size_t salta_blancos(std::string_view s, std::size_t i) {
    for (;;) {
        i = salta(s, i, es_blanco);
        const char c = en(s, i);
        if ((c == '#' && en(s, i + 1) != '[') || (c == '/' && en(s, i + 1) == '/')) {
            i = fin_de_comentario_de_linea(s, i + 1);
        } else if (c == '/' && en(s, i + 1) == '*') {
            i = fin_de_comentario_de_bloque(s, i + 2);
        } else {
            return i;
        }
    }
}

// The end of the code in braces opening at i (`{`): strings, comments and
// inner braces inside it are passed over.
std::size_t fin_de_llaves(std::string_view s, std::size_t i, int anidadas) {
    int hondura = 0;
    while (i < s.size()) {
        i = salta_blancos(s, i);
        if (i >= s.size()) {
            break;
        }
        const std::size_t cadena = fin_de_cadena(s, i, anidadas);
        if (cadena != i) {
            i = cadena;
        } else if (s[i] == '{') {
            ++hondura;
            ++i;
        } else if (s[i++] == '}' && --hondura == 0) {
            return i;
        }
    }
    return s.size();
}

// The end of a cast at i, such as `( int )`, or i when there is none.
std::size_t fin_de_molde(std::string_view s, std::size_t i) {
    static constexpr std::array<std::string_view, 12> kTipos = {
        "int",  "integer", "bool",   "boolean", "float",  "double",
        "real", "string",  "binary", "array",   "object", "unset"};
    const std::size_t nombre = salta(s, i + 1, es_espacio_o_tab);
    const std::size_t fin_nombre = salta(s, nombre, sigue_nombre);
    const std::size_t cierre = salta(s, fin_nombre, es_espacio_o_tab);
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

// The end of a name at i, with its namespace separators: `\A\B`, `a\b`.
std::size_t fin_de_nombre(std::string_view s, std::size_t i) {
    for (;;) {
        i = salta(s, i, sigue_nombre);
        if (en(s, i) != '\\' || !empieza_nombre(en(s, i + 1))) {
            return i;
        }
        ++i;
    }
}

std::size_t fin_de_numero(std::string_view s, std::size_t i) {
    const char base = static_cast<char>(std::tolower(static_cast<unsigned char>(en(s, i + 1))));
    if (s[i] == '0' && (base == 'x' || base == 'b' || base == 'o')) {
        return salta(s, i + 2, sigue_nombre);
    }
    const auto cifra_o_raya = [](char c) { return es_cifra(c) || c == '_'; };
    i = salta(s, i, cifra_o_raya);
    if (en(s, i) == '.') {
        i = salta(s, i + 1, cifra_o_raya);
    }
    const char e = en(s, i);
    const std::size_t signo = en(s, i + 1) == '+' || en(s, i + 1) == '-' ? 1 : 0;
    if ((e == 'e' || e == 'E') && es_cifra(en(s, i + 1 + signo))) {
        i = salta(s, i + 1 + signo, cifra_o_raya);
    }
    return i;
}

// PHP's operators of more than one byte, the longest first.
constexpr std::array<std::string_view, 34> kOperadores = {
    "===", "!==", "<=>", "**=", "...", "<<=", ">>=", "?\?=", "?->", "==", "!=", "<>",
    "<=",  ">=",  "&&",  "||",  "++",  "--",  "+=",  "-=",   "*=",  "/=", ".=", "%=",
    "&=",  "|=",  "^=",  "->",  "=>",  "::",  "<<",  ">>",   "??",  "**"};

// The bytes that start those: any other byte is an operator of its own.
constexpr std::string_view kInicioDeOperador = "=!<>*.?&|+-/%^:";

std::size_t fin_de_operador(std::string_view s, std::size_t i) {
    if (kInicioDeOperador.find(s[i]) == std::string_view::npos) {
        return i + 1;
    }
    const char segundo = en(s, i + 1);
    for (const std::string_view operador : kOperadores) {
        // The first two bytes tell most of them apart without a call.
        if (operador[0] == s[i] && operador[1] == segundo &&
            s.compare(i, operador.size(), operador) == 0) {
            return i + operador.size();
        }
    }
    return i + 1;
}

// a == b, without a call for the short pieces that most are.
bool iguales(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (a.size() > 16) {
        return a == b;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

bool html_en_blanco(std::string_view texto) {
    return texto.find_first_not_of(std::string_view(" \t\r\n\v\f\0", 7)) == std::string_view::npos;
}

// True when `actual` and all that follows it in `resto` are inline HTML of
// whitespace only, or nothing.
bool solo_blancos_al_final(pieza actual, lexico_php resto) {
    for (; actual.clase != clase_pieza::fin; actual = resto.siguiente()) {
        if (actual.clase != clase_pieza::html || !html_en_blanco(actual.texto)) {
            return false;
        }
    }
    return true;
}

}  // namespace

pieza lexico_php::crea(clase_pieza clase, std::size_t inicio, std::size_t fin) {
    linea_ += std::count(fuente_.begin() + static_cast<std::ptrdiff_t>(contadas_),
                         fuente_.begin() + static_cast<std::ptrdiff_t>(inicio), '\n');
    contadas_ = inicio;
    p_ = fin;
    return {clase, fuente_.substr(inicio, fin - inicio), linea_};
}

pieza lexico_php::html() {
    for (std::size_t desde = p_;;) {
        const std::size_t q = fuente_.find("<?", desde);
        if (q == std::string_view::npos) {
            return crea(clase_pieza::html, p_, fuente_.size());
        }
        const bool php = hay_palabra(fuente_, q + 2, "php") &&
                         (q + 5 == fuente_.size() || es_blanco(fuente_[q + 5]));
        const bool eco = en(fuente_, q + 2) == '=';
        if (!php && !eco) {
            desde = q + 2;  // a short open tag: HTML here
        } else if (q > p_) {
            return crea(clase_pieza::html, p_, q);
        } else {
            en_php_ = true;
            return crea(clase_pieza::apertura, q, q + (php ? 5 : 3));
        }
    }
}

pieza lexico_php::en_codigo() {
    const std::size_t i = salta_blancos(fuente_, p_);
    if (i >= fuente_.size()) {
        return crea(clase_pieza::fin, fuente_.size(), fuente_.size());
    }
    const char c = fuente_[i];
    if (c == '?' && en(fuente_, i + 1) == '>') {
        en_php_ = false;
        pieza cierre = crea(clase_pieza::cierre, i, i + 2);
        p_ = tras_salto(fuente_, p_);
        return cierre;
    }
    if (const std::size_t cadena = fin_de_cadena(fuente_, i); cadena != i) {
        return crea(clase_pieza::cadena, i, cadena);
    }
    if (empieza_nombre(c) || (c == '\\' && empieza_nombre(en(fuente_, i + 1)))) {
        const std::size_t fin = fin_de_nombre(fuente_, c == '\\' ? i + 1 : i);
        if (fin - i == 15 && hay_palabra(fuente_, i, "__halt_compiler")) {
            return crea(clase_pieza::datos, i, fuente_.size());
        }
        return crea(clase_pieza::codigo, i, fin);
    }
    if (c == '$' && empieza_nombre(en(fuente_, i + 1))) {
        return crea(clase_pieza::codigo, i, salta(fuente_, i + 1, sigue_nombre));
    }
    if (es_cifra(c) || (c == '.' && es_cifra(en(fuente_, i + 1)))) {
        return crea(clase_pieza::codigo, i, fin_de_numero(fuente_, i));
    }
    if (c == '(') {
        return crea(clase_pieza::codigo, i, std::max(fin_de_molde(fuente_, i), i + 1));
    }
    if (c == '#') {
        return crea(clase_pieza::codigo, i, i + 2);  // #[, an attribute
    }
    return crea(clase_pieza::codigo, i, fin_de_operador(fuente_, i));
}

pieza lexico_php::siguiente() {
    if (p_ >= fuente_.size()) {
        return crea(clase_pieza::fin, fuente_.size(), fuente_.size());
    }
    return en_php_ ? en_codigo() : html();
}

comparacion compara_php(std::string_view original, std::string_view compactado) {
    lexico_php de_original(original);
    lexico_php de_compactado(compactado);
    for (;;) {
        const pieza a = de_original.siguiente();
        const pieza b = de_compactado.siguiente();
        if (a.clase == clase_pieza::fin && b.clase == clase_pieza::fin) {
            return {true, 0};
        }
        if (a.clase == b.clase && iguales(a.texto, b.texto)) {
            continue;
        }
        if (solo_blancos_al_final(a, de_original) && solo_blancos_al_final(b, de_compactado)) {
            return {true, 0};
        }
        return {false, a.linea};
    }
}

}  // namespace kexo
