// The scanner in strings: '...' and "...", the parts of "...", `...` and
// heredoc, heredoc and nowdoc bodies and markers, and the offset of "$a[...]".
#include <algorithm>

#include "lexical/escaner_php.h"
#include "lexical/escaner_php_interno.h"

namespace kexo {

namespace {

// An offset inside "$a[...]": a decimal, 0x, 0b or 0o integer.
std::size_t fin_de_indice_numerico(std::string_view s, std::size_t i) {
    const std::size_t prefijado = fin_de_prefijado(s, i);
    return prefijado != i ? prefijado : fin_de_cifras<es_cifra>(s, i);
}

// A heredoc's closing marker `etiqueta` at i: PHP wants a byte after it,
// and that byte may not continue a name.
bool hay_marca(std::string_view s, std::size_t i, std::string_view etiqueta) {
    return empieza_nombre(en(s, i)) && etiqueta.size() < s.size() - i &&
           s.compare(i, etiqueta.size(), etiqueta) == 0 && !sigue_nombre(s[i + etiqueta.size()]);
}

}  // namespace

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
        atento_ = true;
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

}  // namespace kexo
