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
    return clase_o_doble_en_16<paradas, bytes_de<'_'>>(p);
}

// The first i in [desde, limite) where es_parada holds, or limite. With
// vectors, 32 bytes at a time while one more can be read; byte by byte
// elsewhere and for the last bytes: both find the same byte.
[[gnu::always_inline]] inline std::size_t busca_parada(std::string_view s, std::size_t i,
                                                       std::size_t limite) {
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

namespace {

// What salta_codigo makes of a byte where es_parada holds: `fin` past a
// token that changes no state (at the byte itself when it must stay there),
// past the name bytes that a `__` inside a name goes on with, or nothing when
// where a token starts is in doubt.
struct parada {
    enum class que : unsigned char { token, en_nombre, duda } que;
    std::size_t fin;
};

// `__` at s, `antes` the byte before (a space at a token's start `tramo`):
// inside a name or variable it starts no token.
parada tras_guiones(std::string_view f, std::size_t s, std::size_t tramo, char antes) {
    if (antes == '$' || antes == '\\') {
        return {parada::que::en_nombre, salta<sigue_nombre>(f, s)};
    }
    if (!sigue_nombre(antes)) {
        return {parada::que::token, s};
    }
    if (!palabra_de_un_token(f, tramo, inicio_de_palabra(f, tramo, s))) {
        return {parada::que::duda, s};
    }
    return {parada::que::en_nombre, salta<sigue_nombre>(f, s)};
}

// `-` at s: an operator, `->name` (the name a property), or a number's
// exponent, `1e-5`, that leaves in doubt where the token started.
parada tras_menos(std::string_view f, std::size_t s, std::size_t tramo, char antes) {
    const char d = en(f, s + 1);
    if ((antes == 'e' || antes == 'E') && es_cifra(d) &&
        !palabra_de_un_token(f, tramo, inicio_de_palabra(f, tramo, s))) {
        return {parada::que::duda, s};
    }
    if (d == '>') {
        return {parada::que::token,
                empieza_nombre(en(f, s + 2)) ? salta<sigue_nombre>(f, s + 2) : s};
    }
    return {parada::que::token, fin_de_operador(f, s)};
}

// The end of the token at `?`, s: `?->name`, an operator, or s for `?>` and
// a `?->` no name follows.
std::size_t tras_interrogacion(std::string_view f, std::size_t s) {
    const char d = en(f, s + 1);
    if (d == '-' && en(f, s + 2) == '>') {
        return empieza_nombre(en(f, s + 3)) ? salta<sigue_nombre>(f, s + 3) : s;
    }
    return d != '>' ? fin_de_operador(f, s) : s;
}

// What the stop byte at s, but a brace, makes; `tramo` where the last token
// passed over ended.
[[gnu::always_inline]] inline parada en_parada(std::string_view f, std::size_t s, std::size_t tramo,
                                               std::size_t limite) {
    const char c = f[s];
    const char d = en(f, s + 1);
    const char antes = s > tramo ? f[s - 1] : ' ';
    // b<<< opens a heredoc, b'...' and b"..." a string, from the b.
    const bool tras_b = antes == 'b' || antes == 'B';
    switch (c) {
        case '_':
            return tras_guiones(f, s, tramo, antes);
        case '-':
            return tras_menos(f, s, tramo, antes);
        case '?':
            return {parada::que::token, tras_interrogacion(f, s)};
        case '<':
            if (f.compare(s, 3, "<<<") != 0) {
                return {parada::que::token, fin_de_operador(f, s)};
            }
            return {tras_b ? parada::que::duda : parada::que::token, s};
        case '/':
            return {parada::que::token, d != '/' && d != '*' ? fin_de_operador(f, s) : s};
        case '\'':
        case '"':
            if (tras_b) {
                return {parada::que::duda, s};
            }
            return {parada::que::token, fin_de_cadena_simple(f, s, limite)};
        default:
            return {parada::que::token, s};
    }
}

}  // namespace

std::size_t escaner_php::tras_llave(std::size_t s) {
    if (f_[s] == '{') {
        apila(estado::codigo);
        return s + 1;
    }
    if (!pila_.empty() && pila_.back() != estado::codigo) {
        return s;  // the end of a part of a string
    }
    desapila();
    return s + 1;
}

bool escaner_php::puede_saltar() const {
    return estado_ == estado::codigo && !triviales_ && tras_halt_ < 0 && !halt_leido_ &&
           !explorando_ && !por_explorar_;
}

void escaner_php::salta_codigo(std::size_t hasta, std::size_t& ultimo) {
    if (espera_ > 0) {
        --espera_;
        return;
    }
    const std::size_t n = f_.size();
    const bool todo = hasta == SIZE_MAX;
    if (!puede_saltar() || (!todo && hasta < p_ + 2 * kMargen)) {
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
    for (;;) {
        const std::size_t s = busca_parada(f_, i, limite);
        if (s >= limite) {
            // No byte to stop at: on to the last separator before the
            // window's end.
            termina_salto(al_fin ? n : tras_separador(f_, tramo, limite), tramo, true, ultimo);
            return;
        }
        const parada hallada = f_[s] == '{' || f_[s] == '}'
                                   ? parada{parada::que::token, tras_llave(s)}
                                   : en_parada(f_, s, tramo, limite);
        if (hallada.que == parada::que::en_nombre) {
            i = hallada.fin;
            continue;
        }
        if (hallada.que == parada::que::duda) {
            // The scanner reads from the last separator before it.
            termina_salto(tras_separador(f_, tramo, s), tramo, true, ultimo);
            return;
        }
        if (hallada.fin == s || hallada.fin > limite) {
            termina_salto(s, tramo, false, ultimo);
            return;
        }
        ultimo = hallada.fin - 1;
        tramo = i = hallada.fin;
    }
}

void escaner_php::termina_salto(std::size_t llegada, std::size_t tramo, bool sin_parada,
                                std::size_t& ultimo) {
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
