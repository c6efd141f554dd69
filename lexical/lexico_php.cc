#include "lexical/lexico_php.h"

#include <cctype>

namespace kexo {

namespace {

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

bool mismas(const pieza& a, const pieza& b) {
    return a.clase == b.clase && a.variante == b.variante && iguales(a.texto, b.texto);
}

bool es_palabra(std::string_view texto, std::string_view palabra) {
    if (texto.size() != palabra.size()) {
        return false;
    }
    for (std::size_t k = 0; k < palabra.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(texto[k])) != palabra[k]) {
            return false;
        }
    }
    return true;
}

bool html_en_blanco(std::string_view texto) {
    return texto.find_first_not_of(std::string_view(" \t\r\n\v\f\0", 7)) == std::string_view::npos;
}

// True when `actual` and all that follows it in `resto` may be left out at
// the end of a source: inline HTML of whitespace only, led by a close tag
// when `previa`, the piece before, makes that tag an empty statement.
bool cola_prescindible(pieza actual, lexico_php resto, const pieza& previa) {
    const bool cierre_vacio =
        (previa.clase == clase_pieza::codigo && previa.texto == ";") ||
        (previa.clase == clase_pieza::apertura && es_palabra(previa.texto, "<?php"));
    if (actual.clase == clase_pieza::cierre && cierre_vacio) {
        actual = resto.siguiente();
    }
    for (; actual.clase != clase_pieza::fin; actual = resto.siguiente()) {
        if (actual.clase != clase_pieza::html || !html_en_blanco(actual.texto)) {
            return false;
        }
    }
    return true;
}

// The lines of pieces of one source, counted only when asked, from where the
// last count stopped: the pieces come in order.
class lineas_de {
   public:
    explicit lineas_de(std::string_view fuente) : f_(fuente) {}

    std::int64_t de(const pieza& p) {
        const auto inicio = static_cast<std::size_t>(p.texto.data() - f_.data());
        linea_ += saltos_entre(f_, hasta_, inicio);
        hasta_ = inicio;
        return linea_;
    }

   private:
    std::string_view f_;
    std::size_t hasta_ = 0;
    std::int64_t linea_ = 1;
};

}  // namespace

pieza lexico_php::siguiente() {
    // One object returned, built in the caller's place: a copy of a token
    // just written field by field waits on those stores.
    pieza leida = escaner_.siguiente();
    while (leida.clase == clase_pieza::blanco || leida.clase == clase_pieza::comentario) {
        leida = escaner_.siguiente();
    }
    if (leida.clase == clase_pieza::apertura) {
        leida.texto = leida.texto.substr(0, leida.texto[2] == '=' ? 3 : 5);
    } else if (leida.clase == clase_pieza::cierre) {
        leida.texto = leida.texto.substr(0, 2);
    }
    return leida;
}

comparacion compara_php(std::string_view original, std::string_view compactado,
                        modo_comparacion modo, std::int64_t desfase) {
    // Every piece's line matters only in modo_comparacion::lineas; else
    // lines are counted for a __LINE__ and a difference alone.
    const bool lineas = modo == modo_comparacion::lineas;
    lexico_php de_original(original, lineas);
    lexico_php de_compactado(compactado, lineas);
    lineas_de en_original(original);
    lineas_de en_compactado(compactado);
    const auto linea_original = [&](const pieza& p) {
        return lineas ? p.linea : en_original.de(p);
    };
    pieza previa{clase_pieza::fin, {}, 0};
    for (;;) {
        const pieza a = de_original.siguiente();
        const pieza b = de_compactado.siguiente();
        if (a.clase == clase_pieza::fin && b.clase == clase_pieza::fin) {
            return {true, 0};
        }
        if (mismas(a, b)) {
            if (a.variante == matiz::linea_magica) {
                const std::int64_t linea = linea_original(a);
                if (linea != (lineas ? b.linea : en_compactado.de(b)) + desfase) {
                    return {false, linea, motivo_diferencia::linea_magica};
                }
            }
            // __halt_compiler's data has no line of its own that matters.
            if (a.linea != b.linea + desfase && lineas && a.clase != clase_pieza::datos &&
                !(cola_prescindible(a, de_original, previa) &&
                  cola_prescindible(b, de_compactado, previa))) {
                return {false, a.linea, motivo_diferencia::linea};
            }
            previa = a;
            continue;
        }
        if (cola_prescindible(a, de_original, previa) &&
            cola_prescindible(b, de_compactado, previa)) {
            return {true, 0};
        }
        const bool doc =
            a.clase == clase_pieza::documentacion || b.clase == clase_pieza::documentacion;
        return {false, linea_original(a),
                doc ? motivo_diferencia::documentacion : motivo_diferencia::programa};
    }
}

bool empieza_con_declare(std::string_view fuente) {
    if (empieza_con_interprete(fuente)) {
        // PHP's line of the interpreter runs to the first LF.
        const std::size_t salto = fuente.find('\n');
        if (salto == std::string_view::npos) {
            return false;
        }
        fuente.remove_prefix(salto + 1);
    }
    escaner_php escaner(fuente);
    const pieza apertura = escaner.siguiente();
    if (apertura.clase != clase_pieza::apertura || apertura.texto.size() < 5) {
        return false;
    }
    for (;;) {
        const pieza leida = escaner.siguiente();
        if (leida.clase == clase_pieza::blanco || leida.clase == clase_pieza::comentario ||
            leida.clase == clase_pieza::documentacion) {
            continue;
        }
        return leida.clase == clase_pieza::codigo && es_palabra(leida.texto, "declare");
    }
}

bool empieza_con_interprete(std::string_view fuente) {
    return fuente.compare(0, 2, "#!") == 0;
}

}  // namespace kexo
