#include "lexical/escaner_php.h"

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

bool empieza_nombre(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
}

bool sigue_nombre(char c) {
    return empieza_nombre(c) || es_cifra(c);
}

// True when `s` holds `palabra` (lower case) at i, in any letter case.
bool hay_palabra(std::string_view s, std::size_t i, std::string_view palabra) {
    if (i > s.size() || s.size() - i < palabra.size()) {
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

// Past one line end at i (CR LF, LF or CR), or i when there is none.
std::size_t tras_salto(std::string_view s, std::size_t i) {
    if (en(s, i) == '\r') {
        return en(s, i + 1) == '\n' ? i + 2 : i + 1;
    }
    return en(s, i) == '\n' ? i + 1 : i;
}

// The end of digits of kind `cifra` at i, with single underscores between
// them (PHP's [0-9]+(_[0-9]+)*), or i when no digit is there.
std::size_t fin_de_cifras(std::string_view s, std::size_t i, bool (*cifra)(char)) {
    if (!cifra(en(s, i))) {
        return i;
    }
    for (;;) {
        i = salta(s, i, cifra);
        if (en(s, i) != '_' || !cifra(en(s, i + 1))) {
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
    const char base = static_cast<char>(std::tolower(static_cast<unsigned char>(en(s, i + 1))));
    bool (*cifra)(char) = base == 'x'   ? es_hexadecimal
                          : base == 'b' ? es_binaria
                          : base == 'o' ? es_octal
                                        : nullptr;
    if (cifra == nullptr) {
        return i;
    }
    const std::size_t fin = fin_de_cifras(s, i + 2, cifra);
    return fin > i + 2 ? fin : i;
}

// The end of the number at i: the longest of PHP's integer and float forms.
std::size_t fin_de_numero(std::string_view s, std::size_t i) {
    if (const std::size_t prefijado = fin_de_prefijado(s, i); prefijado != i) {
        return prefijado;
    }
    const std::size_t entero = fin_de_cifras(s, i, es_cifra);
    std::size_t fin = entero;
    if (en(s, entero) == '.') {
        const std::size_t decimales = fin_de_cifras(s, entero + 1, es_cifra);
        if (decimales > entero + 1) {
            fin = decimales;
        } else if (entero > i) {
            fin = entero + 1;  // `1.`
        }
    }
    if (fin > i && (en(s, fin) == 'e' || en(s, fin) == 'E')) {
        const std::size_t signo = en(s, fin + 1) == '+' || en(s, fin + 1) == '-' ? 1 : 0;
        const std::size_t exponente = fin_de_cifras(s, fin + 1 + signo, es_cifra);
        if (exponente > fin + 1 + signo) {
            fin = exponente;
        }
    }
    return fin;
}

// An offset inside "$a[...]": a decimal, 0x, 0b or 0o integer.
std::size_t fin_de_indice_numerico(std::string_view s, std::size_t i) {
    const std::size_t prefijado = fin_de_prefijado(s, i);
    return prefijado != i ? prefijado : fin_de_cifras(s, i, es_cifra);
}

// The end of a cast at i, such as `( int )`: spaces and tabs only inside.
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

// PHP's operators of more than one byte, the longest first.
constexpr std::array<std::string_view, 34> kOperadores = {
    "===", "!==", "<=>", "**=", "...", "<<=", ">>=", "?\?=", "?->", "==", "!=", "<>",
    "<=",  ">=",  "&&",  "||",  "++",  "--",  "+=",  "-=",   "*=",  "/=", ".=", "%=",
    "&=",  "|=",  "^=",  "->",  "=>",  "::",  "<<",  ">>",   "??",  "**"};

std::size_t fin_de_operador(std::string_view s, std::size_t i) {
    const char segundo = en(s, i + 1);
    for (const std::string_view operador : kOperadores) {
        if (operador[0] == s[i] && operador[1] == segundo &&
            s.compare(i, operador.size(), operador) == 0) {
            return i + operador.size();
        }
    }
    return i + 1;
}

// A heredoc's closing marker `etiqueta` at i: PHP wants a byte after it,
// and that byte may not continue a name.
bool hay_marca(std::string_view s, std::size_t i, std::string_view etiqueta) {
    return empieza_nombre(en(s, i)) && etiqueta.size() < s.size() - i &&
           s.compare(i, etiqueta.size(), etiqueta) == 0 && !sigue_nombre(s[i + etiqueta.size()]);
}

}  // namespace

escaner_php::escaner_php(std::string_view fuente, bool en_codigo)
    : f_(fuente), estado_(en_codigo ? estado::codigo : estado::html) {}

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

pieza escaner_php::crea(clase_pieza clase, std::size_t fin, matiz variante) {
    // PHP counts a LF, and a CR that no LF follows.
    for (std::size_t i = contadas_; i < p_; ++i) {
        linea_ += f_[i] == '\n' || (f_[i] == '\r' && en(f_, i + 1) != '\n') ? 1 : 0;
    }
    contadas_ = p_;
    const pieza hecha{clase, f_.substr(p_, fin - p_), linea_, variante};
    p_ = fin;
    return hecha;
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

pieza escaner_php::siguiente() {
    if (p_ >= f_.size()) {
        p_ = f_.size();
        return crea(clase_pieza::fin, f_.size());
    }
    if (tras_halt_ == 0) {
        return crea(clase_pieza::datos, f_.size());
    }
    const estado antes = estado_;
    pieza leida;
    switch (estado_) {
        case estado::html:
            leida = en_html();
            break;
        case estado::codigo:
            leida = en_codigo();
            break;
        case estado::propiedad:
            leida = en_propiedad();
            break;
        case estado::comillas:
            leida = en_interpolada('"');
            break;
        case estado::acentos:
            leida = en_interpolada('`');
            break;
        case estado::heredoc:
            leida = en_heredoc();
            break;
        case estado::nowdoc:
            leida = en_nowdoc();
            break;
        case estado::fin_heredoc: {
            const etiqueta cerrada = heredocs_.empty() ? etiqueta{} : heredocs_.back();
            if (!heredocs_.empty()) {
                heredocs_.pop_back();
            }
            estado_ = estado::codigo;
            leida = crea(clase_pieza::cadena, p_ + cerrada.sangria + cerrada.nombre.size(),
                         matiz::cierre_heredoc);
            break;
        }
        case estado::nombre_variable: {
            // ${name[ or ${name}: the name of a variable; anything else is code.
            const std::size_t fin = salta(f_, p_, sigue_nombre);
            desapila();
            apila(estado::codigo);
            if (empieza_nombre(en(f_, p_)) && (en(f_, fin) == '[' || en(f_, fin) == '}')) {
                leida = crea(clase_pieza::codigo, fin, matiz::nombre_variable);
            } else {
                leida = en_codigo();
            }
            break;
        }
        case estado::indice:
            leida = en_indice();
            break;
    }
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
    return leida;
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
    std::size_t i = desde;
    while (i < f_.size() && f_[i] != '\n' && f_[i] != '\r' &&
           !(f_[i] == '?' && en(f_, i + 1) == '>')) {
        ++i;
    }
    return crea(clase_pieza::comentario, i);
}

pieza escaner_php::comentario_de_bloque() {
    const bool doc = en(f_, p_ + 2) == '*' && es_blanco(en(f_, p_ + 3));
    const std::size_t fin = f_.find("*/", p_ + (doc ? 4 : 2));
    return crea(doc ? clase_pieza::documentacion : clase_pieza::comentario,
                fin == std::string_view::npos ? f_.size() : fin + 2);
}

pieza escaner_php::en_propiedad() {
    const char c = f_[p_];
    if (es_blanco(c)) {
        return crea(clase_pieza::blanco, salta(f_, p_, es_blanco));
    }
    if (c == '-' && en(f_, p_ + 1) == '>') {
        return crea(clase_pieza::codigo, p_ + 2);
    }
    if (f_.compare(p_, 3, "?->") == 0) {
        return crea(clase_pieza::codigo, p_ + 3);
    }
    if (empieza_nombre(c)) {
        desapila();
        return crea(clase_pieza::codigo, salta(f_, p_, sigue_nombre));
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
        if (f_.compare(p_ + 1, 3, "<<<") == 0) {
            if (const std::size_t cuerpo = abre_heredoc(p_ + 1); cuerpo != 0) {
                return crea(clase_pieza::cadena, cuerpo);
            }
        }
    }
    std::size_t fin = salta(f_, p_, sigue_nombre);
    if (en(f_, fin) == '\\' && empieza_nombre(en(f_, fin + 1))) {
        while (en(f_, fin) == '\\' && empieza_nombre(en(f_, fin + 1))) {
            fin = salta(f_, fin + 1, sigue_nombre);
        }
        return crea(clase_pieza::codigo, fin);
    }
    const std::size_t largo = fin - p_;
    const std::size_t tras = salta(f_, fin, es_blanco);
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
        for (std::size_t i = comilla + 1; i < f_.size(); ++i) {
            if (f_[i] == '\'') {
                return crea(clase_pieza::cadena, i + 1);
            }
            if (f_[i] == '\\') {
                ++i;
            }
        }
        return crea(clase_pieza::cadena, f_.size());
    }
    // "...": whole when nothing is interpolated; else its quote, and the
    // string is read part by part.
    for (std::size_t i = comilla + 1; i < f_.size(); ++i) {
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
    estado_ = estado::comillas;
    return crea(clase_pieza::cadena, comilla + 1);
}

std::size_t escaner_php::abre_heredoc(std::size_t marca) {
    std::size_t i = salta(f_, marca + 3, es_espacio_o_tab);
    const char comilla = en(f_, i) == '\'' || en(f_, i) == '"' ? f_[i] : '\0';
    i += comilla != '\0' ? 1 : 0;
    if (!empieza_nombre(en(f_, i))) {
        return 0;
    }
    const std::size_t inicio = i;
    i = salta(f_, i, sigue_nombre);
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
    const std::size_t marca_final = salta(f_, cuerpo, es_espacio_o_tab);
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
    const std::size_t fin = salta(f_, p_ + 1, sigue_nombre);
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

bool escaner_php::cierra_heredoc(std::size_t i, std::size_t& fin_contenido) {
    // i: just past a line end inside the body.
    const std::size_t marca = salta(f_, i, es_espacio_o_tab);
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
        const char d = f_[i++];
        if (d == '\n' || d == '\r') {
            if (d == '\r' && en(f_, i) == '\n') {
                ++i;
            }
            std::size_t fin = 0;
            if (cierra_heredoc(i, fin)) {
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
        const char d = f_[i++];
        if (d == '\n' || d == '\r') {
            if (d == '\r' && en(f_, i) == '\n') {
                ++i;
            }
            std::size_t fin = 0;
            if (cierra_heredoc(i, fin)) {
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
        return crea(clase_pieza::codigo, salta(f_, p_ + 1, sigue_nombre));
    }
    if (empieza_nombre(c)) {
        return crea(clase_pieza::codigo, salta(f_, p_, sigue_nombre));
    }
    if (std::string_view(" \n\r\t\\'#").find(c) != std::string_view::npos) {
        // PHP leaves the offset here, with an empty piece of string.
        desapila();
        return crea(clase_pieza::cadena, p_);
    }
    // A quote here is one byte of its own, not the string's end.
    return crea(c == '"' || c == '`' ? clase_pieza::cadena : clase_pieza::codigo, p_ + 1);
}

pieza escaner_php::en_codigo() {
    const char c = f_[p_];
    const char d = en(f_, p_ + 1);
    if (es_blanco(c)) {
        return crea(clase_pieza::blanco, salta(f_, p_, es_blanco));
    }
    switch (c) {
        case '#':
            return d == '[' ? crea(clase_pieza::codigo, p_ + 2) : comentario_de_linea(p_ + 1);
        case '/':
            if (d == '/') {
                return comentario_de_linea(p_ + 2);
            }
            if (d == '*') {
                return comentario_de_bloque();
            }
            break;
        case '?':
            if (d == '>') {
                estado_ = estado::html;
                return crea(clase_pieza::cierre, tras_salto(f_, p_ + 2));
            }
            if (f_.compare(p_, 3, "?->") == 0) {
                apila(estado::propiedad);
                return crea(clase_pieza::codigo, p_ + 3);
            }
            break;
        case '-':
            if (d == '>') {
                apila(estado::propiedad);
                return crea(clase_pieza::codigo, p_ + 2);
            }
            break;
        case '$':
            if (empieza_nombre(d)) {
                return crea(clase_pieza::codigo, salta(f_, p_ + 1, sigue_nombre));
            }
            return crea(clase_pieza::codigo, p_ + 1);
        case '\'':
        case '"':
            return cadena_entre(p_);
        case '`':
            estado_ = estado::acentos;
            return crea(clase_pieza::cadena, p_ + 1);
        case '<':
            if (f_.compare(p_, 3, "<<<") == 0) {
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
        case '(':
            return crea(clase_pieza::codigo, std::max(fin_de_molde(f_, p_), p_ + 1));
        case '&':
            if (d != '&' && d != '=') {
                const std::size_t tras = salta(f_, p_ + 1, es_blanco);
                const bool seguido = en(f_, tras) == '$' || f_.compare(tras, 3, "...") == 0;
                return crea(clase_pieza::codigo, p_ + 1,
                            seguido ? matiz::ampersand_seguido : matiz::ninguno);
            }
            break;
        case '\\':
            if (empieza_nombre(d)) {
                std::size_t fin = p_;
                while (en(f_, fin) == '\\' && empieza_nombre(en(f_, fin + 1))) {
                    fin = salta(f_, fin + 1, sigue_nombre);
                }
                return crea(clase_pieza::codigo, fin);
            }
            return crea(clase_pieza::codigo, p_ + 1);
        default:
            break;
    }
    if (es_cifra(c) || (c == '.' && es_cifra(d))) {
        return crea(clase_pieza::codigo, fin_de_numero(f_, p_));
    }
    if (empieza_nombre(c)) {
        return nombre();
    }
    return crea(clase_pieza::codigo, fin_de_operador(f_, p_));
}

}  // namespace kexo
