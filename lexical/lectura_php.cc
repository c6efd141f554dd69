#include "lexical/lectura_php.h"

#include <cctype>
#include <cstring>

namespace kexo {

namespace {

// The N bytes at p as one integer, for equality only.
template <typename T>
T carga(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The n bytes at x and y, 2 <= n <= 2 * sizeof(T), equal: the first and the
// last sizeof(T) of each, which overlap when n is less than twice that.
template <typename T>
bool extremos_iguales(const char* x, const char* y, std::size_t n) {
    const T diferencia =
        (carga<T>(x) ^ carga<T>(y)) | (carga<T>(x + n - sizeof(T)) ^ carga<T>(y + n - sizeof(T)));
    return diferencia == 0;
}

// a == b, without a call or a loop for the short pieces that most are (as
// compara_php compares them): two loads of each, never past its end.
bool iguales(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) {
        return false;
    }
    const char* const x = a.data();
    const char* const y = b.data();
    if (n >= 8) {
        return n <= 16 ? extremos_iguales<std::uint64_t>(x, y, n) : a == b;
    }
    if (n >= 4) {
        return extremos_iguales<std::uint32_t>(x, y, n);
    }
    if (n >= 2) {
        return extremos_iguales<std::uint16_t>(x, y, n);
    }
    return n == 0 || x[0] == y[0];
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

// The kept tokens read in order, as lexico_php gives them, then those the
// scanner reads on from the last one kept, if any; the end's, once there, from
// then on. A copy reads on alone.
class guardadas {
   public:
    guardadas(std::string_view fuente, const lectura_php& lectura, bool lineas)
        : f_(fuente),
          p_(lectura.piezas.data()),
          fin_(p_ + lectura.piezas.size()),
          resto_(lectura.resto),
          lineas_(lineas) {}

    pieza siguiente() {
        if (p_ == fin_) {
            return de_resto();
        }
        const pieza_guardada& g = *p_;
        // The end's token stays.
        p_ += resto_.has_value() || p_ + 1 != fin_;
        return {g.clase, std::string_view(f_.data() + g.desde, g.largo),
                lineas_ ? static_cast<std::int64_t>(g.linea) : 0, g.variante};
    }

   private:
    // As lexico_php::siguiente.
    pieza de_resto() {
        pieza leida = resto_->siguiente();
        while (leida.clase == clase_pieza::blanco || leida.clase == clase_pieza::comentario) {
            leida = resto_->siguiente();
        }
        if (leida.clase == clase_pieza::apertura) {
            leida.texto = leida.texto.substr(0, leida.texto[2] == '=' ? 3 : 5);
        } else if (leida.clase == clase_pieza::cierre) {
            leida.texto = leida.texto.substr(0, 2);
        }
        if (!lineas_) {
            leida.linea = 0;
        }
        return leida;
    }

    std::string_view f_;
    const pieza_guardada* p_;
    const pieza_guardada* fin_;
    std::optional<escaner_php> resto_;
    bool lineas_;
};

struct pieza_previa {
    clase_pieza clase = clase_pieza::fin;
    std::string_view texto;
};

// True when `actual` and all that follows it in `resto` may be left out at
// the end of a source: inline HTML of whitespace only, led by a close tag
// when `previa`, the piece before, makes that tag an empty statement. As
// compara_php has it.
template <typename Lector>
bool cola_prescindible(pieza actual, Lector resto, const pieza_previa& previa) {
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

// The line of byte `inicio` of a source, counted from where the last count
// stopped: the pieces come in order.
class lineas_de {
   public:
    explicit lineas_de(std::string_view fuente) : f_(fuente) {}

    std::int64_t en(std::size_t inicio) {
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

comparacion compara_php(std::string_view original, const lectura_php& lectura,
                        std::string_view compactado, modo_comparacion modo, std::int64_t desfase) {
    if (!lectura.completa || lectura.piezas.empty()) {
        return compara_php(original, compactado, modo, desfase);
    }
    // Token by token, as compara_php reads the two sources where they differ.
    const bool lineas = modo == modo_comparacion::lineas;
    guardadas de_original(original, lectura, lineas);
    lexico_php de_compactado(compactado, lineas);
    lineas_de en_original(original);
    lineas_de en_compactado(compactado);
    const auto linea_original = [&](const pieza& p) {
        return lineas ? p.linea
                      : en_original.en(static_cast<std::size_t>(p.texto.data() - original.data()));
    };
    pieza_previa previa;
    for (;;) {
        const pieza a = de_original.siguiente();
        const pieza b = de_compactado.siguiente();
        if (a.clase == clase_pieza::fin && b.clase == clase_pieza::fin) {
            return {true, 0};
        }
        if (a.clase == b.clase && a.variante == b.variante && iguales(a.texto, b.texto)) {
            if (a.variante == matiz::linea_magica) {
                const std::int64_t linea = linea_original(a);
                const std::int64_t en_b = lineas ? b.linea
                                                 : en_compactado.en(static_cast<std::size_t>(
                                                       b.texto.data() - compactado.data()));
                if (linea != en_b + desfase) {
                    return {false, linea, motivo_diferencia::linea_magica};
                }
            }
            // __halt_compiler's data has no line of its own that matters.
            if (a.linea != b.linea + desfase && lineas && a.clase != clase_pieza::datos &&
                !(cola_prescindible(a, de_original, previa) &&
                  cola_prescindible(b, de_compactado, previa))) {
                return {false, a.linea, motivo_diferencia::linea};
            }
            previa.clase = a.clase;
            previa.texto = a.texto;
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

}  // namespace kexo
