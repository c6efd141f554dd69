#include "lexical/lexico_php.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "common/vectores.h"
#include "lexical/escaner_php_interno.h"
#include "lexical/lectura_php.h"

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

// a == b, without a call or a loop for the short pieces that most are: two
// loads of each, never past its end.
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

// Of the piece before, what cola_prescindible looks at.
struct pieza_previa {
    clase_pieza clase = clase_pieza::fin;
    std::string_view texto;
};

// True when `actual` and all that follows it in `resto` may be left out at
// the end of a source: inline HTML of whitespace only, led by a close tag
// when `previa`, the piece before, makes that tag an empty statement.
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

// The lines of pieces of one source, counted only when asked, from where the
// last count stopped: the pieces come in order.
class lineas_de {
   public:
    explicit lineas_de(std::string_view fuente) : f_(fuente) {}

    std::int64_t de(const pieza& p) {
        return en(static_cast<std::size_t>(p.texto.data() - f_.data()));
    }

    // The line of byte `inicio`.
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

namespace {

// How many bytes `a` from i and `b` from j have in common before they part.
std::size_t comunes(std::string_view a, std::size_t i, std::string_view b, std::size_t j) {
    return comunes_en(a.data() + i, b.data() + j, std::min(a.size() - i, b.size() - j));
}

// Fewer bytes in common than this are read token by token: the shortcut
// would stop before it pays.
constexpr std::size_t kTramoMinimo = 128;
// Tokens read on the shortcut between two copies of the original's scanner
// state into the other's: how many the other reads again where it stops.
constexpr int kEntreCopias = 64;
// Deeper stacks of states are compared token by token: comparing and copying
// them would cost more than it saves.
constexpr std::size_t kPilaMaxima = 16;

class guardadas;

// What compara carries from one pair of pieces to the next.
struct comparando {
    comparando(std::string_view de, std::string_view con, bool cada_linea, std::int64_t lineas_mas)
        : original(de),
          compactado(con),
          lineas(cada_linea),
          desfase(lineas_mas),
          en_original(de),
          en_compactado(con) {}

    // A piece's line in the original: every piece's line matters only in
    // modo_comparacion::lineas; else lines are counted for a __LINE__ and a
    // difference alone.
    std::int64_t linea_original(const pieza& p) { return lineas ? p.linea : en_original.de(p); }

    std::string_view original;
    std::string_view compactado;
    bool lineas;
    std::int64_t desfase;
    lineas_de en_original;
    lineas_de en_compactado;
    // Only what cola_prescindible looks at, kept field by field: a whole
    // token copied per token reloads its fields wider than they were just
    // stored, a stall of about a dozen cycles each.
    pieza_previa previa;
    // A piece of the original read on the shortcut but not compared there.
    pieza pendiente{clase_pieza::fin, {}, 0};
    bool hay_pendiente = false;
};

// For a pair of the same pieces: a difference in their lines that matters
// (a __LINE__'s always; any piece's with every line compared, but
// __halt_compiler's data and at an end that may be left out), or none.
template <typename Lector>
std::optional<comparacion> juzga_lineas(comparando& c, const pieza& a, const pieza& b,
                                        const Lector& de_original,
                                        const lexico_php& de_compactado) {
    if (a.variante == matiz::linea_magica) {
        const std::int64_t linea = c.linea_original(a);
        if (linea != (c.lineas ? b.linea : c.en_compactado.de(b)) + c.desfase) {
            return comparacion{false, linea, motivo_diferencia::linea_magica};
        }
    }
    if (a.linea != b.linea + c.desfase && c.lineas && a.clase != clase_pieza::datos &&
        !(cola_prescindible(a, de_original, c.previa) &&
          cola_prescindible(b, de_compactado, c.previa))) {
        return comparacion{false, a.linea, motivo_diferencia::linea};
    }
    return std::nullopt;
}

// For a pair of different pieces: the same sources still when both ends may
// be left out; else why they differ.
template <typename Lector>
comparacion juzga_distintas(comparando& c, const pieza& a, const pieza& b,
                            const Lector& de_original, const lexico_php& de_compactado) {
    if (cola_prescindible(a, de_original, c.previa) &&
        cola_prescindible(b, de_compactado, c.previa)) {
        return {true, 0};
    }
    const bool doc = a.clase == clase_pieza::documentacion || b.clase == clase_pieza::documentacion;
    return {false, c.linea_original(a),
            doc ? motivo_diferencia::documentacion : motivo_diferencia::programa};
}

// The other source's scanner reads again the `leidas` tokens it is behind,
// passing over code where the original's did.
void relee(lexico_php& de_compactado, int leidas, std::size_t hasta) {
    escaner_php& otro = de_compactado.escaner();
    std::size_t ignorado = 0;
    for (; leidas > 0; --leidas) {
        otro.salta_codigo(hasta, ignorado);
        de_compactado.siguiente();
    }
    otro.salta_codigo(hasta, ignorado);
}

// The shortcut over common bytes: where both sources hold the same bytes
// ahead for long, with the scanners in the same state, the original's scanner
// reads them alone, while what decides its tokens lies within those bytes.
class atajo_comun {
   public:
    // Whether the shortcut may start where both scanners stand, after a pair
    // of the same pieces.
    bool cabe(comparando& c, const escaner_php& uno, const escaner_php& otro) {
        const std::size_t pa = uno.posicion();
        const std::size_t pb = otro.posicion();
        if (pa - pb != desplazamiento_ || pa < desde_ || pa > hasta_) {
            desde_ = pa;
            desplazamiento_ = pa - pb;
            const std::size_t n = comunes(c.original, pa, c.compactado, pb);
            hasta_ =
                pa + n == c.original.size() && pb + n == c.compactado.size() ? SIZE_MAX : pa + n;
        }
        if (hasta_ - pa < kTramoMinimo || uno.profundidad() > kPilaMaxima ||
            !uno.mismo_estado(otro)) {
            return false;
        }
        // With every line compared: the same bytes ahead keep both sides'
        // lines apart by what they are apart where the run starts, which
        // must then be `desfase`.
        return !c.lineas || c.en_original.en(pa) == c.en_compactado.en(pb) + c.desfase;
    }

    // Reads the original alone along the run: the verdict if it reaches
    // one; else the first piece decided past the run, left in c.pendiente,
    // with the other scanner read up to it.
    std::optional<comparacion> recorre(comparando& c, lexico_php& de_original,
                                       lexico_php& de_compactado) {
        escaner_php& uno = de_original.escaner();
        escaner_php& otro = de_compactado.escaner();
        uno.olvida_alcance();
        // `otro` stays where the state was last copied, `leidas` tokens behind.
        int leidas = 0;
        const std::size_t hasta_otro = hasta_ == SIZE_MAX ? SIZE_MAX : hasta_ - desplazamiento_;
        for (;;) {
            // Before each token, the original's scanner passes over the code
            // that changes no state; the other, reading again, does the same
            // at the same places.
            std::size_t ultimo = SIZE_MAX;
            uno.salta_codigo(hasta_, ultimo);
            if (ultimo != SIZE_MAX) {
                // Of the tokens passed over, only whether the last is a `;`
                // matters, to a close tag at the end.
                c.previa.clase = clase_pieza::codigo;
                c.previa.texto = c.original.substr(ultimo, 1);
            }
            const pieza leida = de_original.siguiente();
            if (hasta_ != SIZE_MAX && (leida.clase == clase_pieza::fin || uno.alcance() > hasta_)) {
                // The other reads again up to it, and it is compared as usual.
                relee(de_compactado, leidas, hasta_otro);
                c.pendiente = leida;
                c.hay_pendiente = true;
                return std::nullopt;
            }
            if (leida.clase == clase_pieza::fin) {
                return comparacion{true, 0};
            }
            if (leida.variante == matiz::linea_magica) {
                const auto inicio =
                    static_cast<std::size_t>(leida.texto.data() - c.original.data());
                const std::int64_t linea = c.en_original.de(leida);
                if (linea != c.en_compactado.en(inicio - desplazamiento_) + c.desfase) {
                    return comparacion{false, linea, motivo_diferencia::linea_magica};
                }
            }
            c.previa.clase = leida.clase;
            c.previa.texto = leida.texto;
            if (++leidas == kEntreCopias) {
                otro.toma_estado(uno, uno.posicion() - desplazamiento_);
                leidas = 0;
            }
        }
    }

   private:
    // The last run of common bytes found: from `desde_` to `hasta_` in the
    // original, the other source `desplazamiento_` bytes behind; hasta_ is
    // SIZE_MAX when both end together.
    std::size_t desde_ = 0;
    std::size_t hasta_ = 0;
    std::size_t desplazamiento_ = 0;
};

// The verdict on `original`, read by `de_original` (a lexico_php, or the
// tokens PHP's rules kept), and `compactado`. The shortcut over common bytes
// needs the original's scanner: a lexico_php.
template <typename Lector>
comparacion compara(std::string_view original, Lector de_original, std::string_view compactado,
                    modo_comparacion modo, std::int64_t desfase, bool atajo) {
    comparando c(original, compactado, modo == modo_comparacion::lineas, desfase);
    lexico_php de_compactado(compactado, c.lineas);
    atajo_comun comun;
    for (;;) {
        // The kept tokens with every line: the pairs equal in all their
        // fields are passed over without a piece made of the kept one; the
        // first other pair is judged below.
        pieza b_leida{clase_pieza::fin, {}, 0};
        bool hay_b = false;
        if constexpr (std::is_same_v<Lector, guardadas>) {
            if (c.lineas) {
                b_leida = de_original.adelanta(de_compactado, desfase, c.previa);
                hay_b = true;
            }
        }
        const pieza a = c.hay_pendiente ? c.pendiente : de_original.siguiente();
        c.hay_pendiente = false;
        const pieza b = hay_b ? b_leida : de_compactado.siguiente();
        if (a.clase == clase_pieza::fin && b.clase == clase_pieza::fin) {
            return {true, 0};
        }
        if (!mismas(a, b)) {
            return juzga_distintas(c, a, b, de_original, de_compactado);
        }
        if (const auto veredicto = juzga_lineas(c, a, b, de_original, de_compactado)) {
            return *veredicto;
        }
        c.previa.clase = a.clase;
        c.previa.texto = a.texto;
        if constexpr (std::is_same_v<Lector, lexico_php>) {
            if (atajo && comun.cabe(c, de_original.escaner(), de_compactado.escaner())) {
                if (const auto veredicto = comun.recorre(c, de_original, de_compactado)) {
                    return *veredicto;
                }
            }
        }
    }
}

comparacion compara(std::string_view original, std::string_view compactado, modo_comparacion modo,
                    std::int64_t desfase, bool atajo) {
    return compara(original, lexico_php(original, modo == modo_comparacion::lineas), compactado,
                   modo, desfase, atajo);
}

// The tokens PHP's rules kept of a source, read in order as lexico_php gives
// them, then those the scanner reads on from the last one kept, if any; the
// end's, once there, from then on. A copy reads on alone.
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
            if (hay_pendiente_) {
                hay_pendiente_ = false;
                return pendiente_;
            }
            return de_resto();
        }
        const pieza_guardada& g = *p_;
        // The end's token stays.
        p_ += resto_.has_value() || p_ + 1 != fin_;
        return {g.clase, std::string_view(f_.data() + g.desde, g.largo),
                lineas_ ? static_cast<std::int64_t>(g.linea) : 0, g.variante};
    }

    // With every line compared: passes over the kept tokens, but the last,
    // that `otro`'s next pieces match in kind, matiz, bytes and line (what
    // compara would find the same and go on from), and returns `otro`'s
    // first piece that does not, which the next kept token stands against.
    // `previa` takes the last token passed over.
    pieza adelanta(lexico_php& otro, std::int64_t desfase, pieza_previa& previa) {
        if (p_ == fin_) {
            return adelanta_en_resto(otro, desfase, previa);
        }
        const pieza_guardada* q = p_;
        const pieza b = lee_mientras_iguales(otro.escaner(), q, fin_ - 1, f_, desfase);
        if (q != p_) {
            previa.clase = q[-1].clase;
            previa.texto = std::string_view(f_.data() + q[-1].desde, q[-1].largo);
            p_ = q;
        }
        return b;
    }

   private:
    // adelanta past the kept tokens: the scanner's next ones, and the first
    // that does not match held for siguiente().
    pieza adelanta_en_resto(lexico_php& otro, std::int64_t desfase, pieza_previa& previa) {
        if (!hay_pendiente_ && lineas_) {
            // The usual way here: both scanners in one loop of the scanner's.
            pieza ultima{clase_pieza::fin, {}, 0};
            const pieza b = lee_a_la_par(otro.escaner(), *resto_, desfase, pendiente_, ultima);
            hay_pendiente_ = true;
            if (ultima.clase != clase_pieza::fin) {
                previa.clase = ultima.clase;
                previa.texto = ultima.texto;
            }
            return b;
        }
        for (;;) {
            const pieza a = hay_pendiente_ ? pendiente_ : de_resto();
            hay_pendiente_ = false;
            const pieza b = otro.siguiente();
            if (a.clase == clase_pieza::fin || !mismas(a, b) || a.linea != b.linea + desfase) {
                pendiente_ = a;
                hay_pendiente_ = true;
                return b;
            }
            previa.clase = a.clase;
            previa.texto = a.texto;
        }
    }

    // As lexico_php::siguiente.
    pieza de_resto() {
        pieza leida = resto_->siguiente();
        while (leida.clase == clase_pieza::blanco || leida.clase == clase_pieza::comentario) {
            leida = resto_->siguiente();
        }
        leida.texto = sin_lo_que_toma(leida.clase, leida.texto);
        if (!lineas_) {
            leida.linea = 0;
        }
        return leida;
    }

    std::string_view f_;
    const pieza_guardada* p_;
    const pieza_guardada* fin_;
    std::optional<escaner_php> resto_;
    // A token read on from resto_ by adelanta, not yet given.
    pieza pendiente_{clase_pieza::fin, {}, 0};
    bool hay_pendiente_ = false;
    bool lineas_;
};

}  // namespace

// The scanner inlined into the loop, and each token compared where it is
// made: no call and no token through memory per token.
pieza lee_mientras_iguales(escaner_php& escaner, const pieza_guardada*& guardada,
                           const pieza_guardada* ultima, std::string_view original,
                           std::int64_t desfase) {
    const char* const base = original.data();
    const char* const fin_base = base + original.size();
    const char* const fin_propio = escaner.fuente().data() + escaner.fuente().size();
    for (const pieza_guardada* q = guardada;;) {
        // A token of its own each round, never assigned again: a copy of one
        // just written field by field waits on those stores.
        const pieza b = escaner.lee_siguiente();
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
pieza lee_a_la_par(escaner_php& otra, escaner_php& fuente, std::int64_t desfase, pieza& a,
                   pieza& previa) {
    const char* const fin_fuente = fuente.fuente().data() + fuente.fuente().size();
    const char* const fin_propio = otra.fuente().data() + otra.fuente().size();
    clase_pieza clase_previa = clase_pieza::fin;
    std::string_view texto_previo;
    for (;;) {
        pieza x = fuente.lee_siguiente();
        while (x.clase == clase_pieza::blanco || x.clase == clase_pieza::comentario) {
            x = fuente.lee_siguiente();
        }
        pieza b = otra.lee_siguiente();
        while (b.clase == clase_pieza::blanco || b.clase == clase_pieza::comentario) {
            b = otra.lee_siguiente();
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

comparacion compara_php(std::string_view original, std::string_view compactado,
                        modo_comparacion modo, std::int64_t desfase) {
    return compara(original, compactado, modo, desfase, true);
}

comparacion compara_php(std::string_view original, const lectura_php& lectura,
                        std::string_view compactado, modo_comparacion modo, std::int64_t desfase) {
    // Where the two share long runs of bytes, the source's scanner reads them
    // alone: cheaper than the kept tokens, read against the other's.
    if (!lectura.completa || lectura.piezas.empty() ||
        2 * lectura.en_tramos_largos >= lectura.unidades) {
        return compara_php(original, compactado, modo, desfase);
    }
    // Token by token, as compara_php reads the two sources where they differ.
    return compara(original, guardadas(original, lectura, modo == modo_comparacion::lineas),
                   compactado, modo, desfase, false);
}

comparacion compara_php_paso_a_paso(std::string_view original, std::string_view compactado,
                                    modo_comparacion modo, std::int64_t desfase) {
    return compara(original, compactado, modo, desfase, false);
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
