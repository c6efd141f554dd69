// The scanner's frame: its state kept and compared, the pick of the state
// that reads the next token, and what follows a token in the rare states
// (__halt_compiler, a heredoc's look ahead).
#include "lexical/escaner_php.h"

#include "lexical/escaner_php_interno.h"

namespace kexo {

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

pieza escaner_php::siguiente() {
    return lee_siguiente();
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
    atento_ = (tras_halt_ > 0) || halt_leido_ || explorando_ || por_explorar_;
}

void escaner_php::explora() {
    escaner_php adelante = *this;
    adelante.explorando_ = true;
    adelante.atento_ = true;
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

}  // namespace kexo
