// The scanner in code: the tokens en_codigo leaves (comments, tags, braces,
// casts...), names and the property name after -> or ?->.
#include <algorithm>
#include <array>

#include "lexical/escaner_php.h"
#include "lexical/escaner_php_interno.h"

namespace kexo {

bool es_tipo_de_molde(std::string_view nombre) {
    static constexpr std::array<std::string_view, 12> kTipos = {
        "int",  "integer", "bool",   "boolean", "float",  "double",
        "real", "string",  "binary", "array",   "object", "unset"};
    for (const std::string_view tipo : kTipos) {
        if (tipo.size() == nombre.size() && hay_palabra(nombre, 0, tipo)) {
            return true;
        }
    }
    return false;
}

namespace {

// The end of a cast at i, such as `( int )`: spaces and tabs only inside;
// `leido`, the last byte read to tell.
std::size_t fin_de_molde(std::string_view s, std::size_t i, std::size_t& leido) {
    const std::size_t nombre = salta<es_espacio_o_tab>(s, i + 1);
    const std::size_t fin_nombre = fin_de_nombre(s, nombre);
    const std::size_t cierre = salta<es_espacio_o_tab>(s, fin_nombre);
    leido = cierre;
    if (en(s, cierre) != ')') {
        return i;
    }
    return es_tipo_de_molde(s.substr(nombre, fin_nombre - nombre)) ? cierre + 1 : i;
}

}  // namespace

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
        atento_ = true;
    }
    if (largo == 8 && hay_palabra(f_, p_, "__line__")) {
        return crea(clase_pieza::codigo, fin, matiz::linea_magica);
    }
    return crea(clase_pieza::codigo, fin);
}

}  // namespace kexo
