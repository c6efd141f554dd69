// The scanner's skip over code that changes no state, for the checks that
// read long runs of the same bytes (salta_codigo).
#include <algorithm>
#include <cstdint>

#include "lexical/escaner_php.h"
#include "lexical/escaner_php_interno.h"

namespace kexo {

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
