#include "lexical/reglas_php.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "common/vectores.h"
#include "lexical/escaner_php.h"
#include "lexical/escaner_php_interno.h"
#include "lexical/lectura_php.h"

namespace kexo {

namespace {

// A token of a unit of several (a string and its parts) as it must be read
// again after the compaction: where it stands from the start of its unit, how
// long, and what PHP takes it for. A unit of one token is its own record.
struct firma {
    std::size_t desde;
    std::size_t largo;
    clase_pieza clase;
    matiz variante;
};

// What the compaction moves as a whole: a token, or a string from its
// opening to its closing token. Whitespace and comments before it, if any,
// make its gap, which starts where the unit before it ends.
struct unidad {
    std::size_t inicio;  // in the source
    std::size_t fin;
    // Its tokens in the list of firmas, when it is a string; else the number
    // the next firma would take, and the unit is its one token: from inicio
    // to fin, with clase and variante.
    std::size_t primera;
    std::uint32_t piezas;  // how many firmas it has; 1 for a token alone
    bool sola;             // one token, with no firma
    clase_pieza clase;     // of its first token
    matiz variante;        // of its first token
};

bool es_blanco_o_nombre(char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || (u >= 'a' && u <= 'z') ||
           (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
}

bool es_trivial(clase_pieza clase) {
    return clase == clase_pieza::blanco || clase == clase_pieza::comentario;
}

// Beyond sin_roce: an operator's last byte before a number or a variable
// that no token joins (`==1`, `=>0`, `->1`, `?$`, `++$`, `-1`).
bool sin_roce_operador(char antes, char despues) {
    const bool cifra = despues >= '0' && despues <= '9';
    switch (antes) {
        case '=':
        case '>':
            return cifra;
        case '?':
            return despues == '$';
        case '+':
        case '-':
            return cifra || despues == '$';
        default:
            return false;
    }
}

// A unit that code can run into: not inline HTML, an open tag or raw data.
bool es_de_codigo(const unidad& u) {
    return u.clase != clase_pieza::html && u.clase != clase_pieza::apertura &&
           u.clase != clase_pieza::datos;
}

// How many code units before a gap are read again with it: PHP's longest
// construct of several tokens, `<<` `<` NAME and a line end, a heredoc.
constexpr std::size_t kPrevias = 3;

// What a byte is to the gaps, a bit each, looked up once rather than
// compared with each byte of a class in turn.
enum : unsigned char { kCierra = 1, kEmpiezaNombre = 2, kSigueNombre = 4 };
constexpr std::array<unsigned char, 256> clases_de_bytes() {
    std::array<unsigned char, 256> clases{};
    for (unsigned c = 0; c < 256; ++c) {
        const bool letra =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
        const bool cierra = c == ';' || c == ',' || c == '{' || c == '}' || c == ')' || c == ']';
        clases[c] = static_cast<unsigned char>((cierra ? kCierra : 0) |
                                               (letra ? kEmpiezaNombre | kSigueNombre : 0) |
                                               (c >= '0' && c <= '9' ? kSigueNombre : 0));
    }
    return clases;
}
constexpr std::array<unsigned char, 256> kClasesDeBytes = clases_de_bytes();

bool es_de_clase(char c, unsigned char clase) {
    return (kClasesDeBytes[static_cast<unsigned char>(c)] & clase) != 0;
}

// After one of these bytes, the end of a token that no byte extends and that
// begins no construct of several tokens, any token may follow with nothing
// between: the tokens stay as they were, and so do their kinds.
bool cierra_piezas(char c) {
    return es_de_clase(c, kCierra);
}

bool empieza_nombre(char c) {
    return es_de_clase(c, kEmpiezaNombre);
}

bool sigue_nombre(char c) {
    return es_de_clase(c, kSigueNombre);
}

// True when a unit that ends in `antes` and one that starts with `despues`,
// with nothing between them, stay the tokens and kinds they were: no token
// grows across them (`==`, `=>`, `->`, `/=`, `1.e5`, names and numbers run
// together), and no construct of several tokens forms (a cast, `<<<`, `?>`,
// `yield from`, `&` before a variable, `enum` and a name).
bool sin_roce(char antes, char despues) {
    if (cierra_piezas(antes)) {
        return true;
    }
    const bool valor = despues == '$' || despues == '\'' || despues == '"';
    switch (antes) {
        case '(':  // a cast needs a name next
            return !es_blanco_o_nombre(despues);
        case '=':
        case '>':
            return valor || despues == '(' || despues == '[' || empieza_nombre(despues);
        case '.':  // `1.` and a name would read as one number
            return valor || despues == '(' || despues == '[';
        case '/':  // a division or a doc comment's end
            return despues == '$' || empieza_nombre(despues);
        case '\'':
        case '"':
        case '`':  // a string's end
            return despues == '=' || despues == ')' || despues == ',' || despues == ';' ||
                   despues == ']' || despues == '.';
        default:  // a name or number; `)` could close a cast
            return sigue_nombre(antes) &&
                   (despues == '(' || despues == '=' || despues == ';' || despues == ',');
    }
}

// The bytes of PHP's operators, none of which begins or ends another kind of
// token of code.
bool es_operador(char c) {
    switch (c) {
        case '<':
        case '>':
        case '=':
        case '!':
        case '*':
        case '/':
        case '%':
        case '^':
        case '|':
        case '&':
        case '?':
        case ':':
        case '~':
        case '@':
        case '.':
        case '+':
        case '-':
            return true;
        default:
            return false;
    }
}

// What the last unit written ends with, as far as the gap after it goes.
enum class final_unidad : unsigned char {
    otro,
    // A doc comment, a closed string or `[`: no byte extends it and no
    // construct of several tokens goes on from it, so that the next token
    // starts afresh in code whatever stood between them.
    barrera,
    // A name, keyword or variable alone: a byte of a name glued to it would
    // make it longer.
    nombre,
};

// The bits set in m, with no popcnt, which plain x86-64 lacks.
inline std::uint32_t unos(std::uint64_t m) {
    m -= (m >> 1) & 0x5555555555555555U;
    m = (m & 0x3333333333333333U) + ((m >> 2) & 0x3333333333333333U);
    m = (m + (m >> 4)) & 0x0f0f0f0f0f0f0f0fU;
    return static_cast<std::uint32_t>((m * 0x0101010101010101U) >> 56);
}

// The same for a mask that most often has one bit set or none, as a gap's
// line ends in 16 bytes: a test, and unos only for two bits or more.
inline std::uint32_t pocos_unos(std::uint64_t m) {
    return (m & (m - 1)) == 0 ? (m != 0 ? 1U : 0U) : unos(m);
}

// Gives each kept token its line, as the scanner would have counted it: one
// more than the line ends before it. The tokens stand in the order of the
// source; one pass over it, 64 bytes a step, takes their line ends as bits
// and walks them along, with no count at each token while the source is read.
void pon_lineas(std::string_view fuente, decltype(lectura_php::piezas)& piezas) {
    std::uint32_t linea = 1;
    std::size_t k = 0;
    // The last steps read from a copy with zeros past the end: a CR there
    // has no LF after it.
    std::array<char, 128> cola{};
    for (std::size_t bloque = 0; k < piezas.size() && bloque <= fuente.size(); bloque += 64) {
        std::uint64_t m;
        if (fuente.size() - std::min(fuente.size(), bloque) > 64) {
            m = saltos_en_64(fuente.data() + bloque);
        } else {
            cola.fill(0);
            if (bloque < fuente.size()) {
                std::copy(fuente.begin() + static_cast<std::ptrdiff_t>(bloque), fuente.end(),
                          cola.begin());
            }
            m = saltos_en_64(cola.data());
        }
        // The line ends of the block before each token, counted with no
        // branch: whether one stands between two tokens is hard to foresee.
        // Most blocks hold three line ends or fewer: each token then compares
        // its place with theirs, a quarter of the work of counting bits. The
        // last bit stands for any that are missing: no token of the block
        // has it before it, so that a line end there counts for none either.
        const std::uint64_t ultimo = std::uint64_t{1} << 63;
        std::uint64_t resto = m | ultimo;
        const auto p1 = static_cast<unsigned>(__builtin_ctzll(resto));
        resto = (resto & (resto - 1)) | ultimo;
        const auto p2 = static_cast<unsigned>(__builtin_ctzll(resto));
        resto = (resto & (resto - 1)) | ultimo;
        const auto p3 = static_cast<unsigned>(__builtin_ctzll(resto));
        resto &= resto - 1;
        if ((resto & ~ultimo) == 0) {
            for (; k < piezas.size() && piezas[k].desde - bloque < 64; ++k) {
                const auto bit = static_cast<unsigned>(piezas[k].desde - bloque);
                piezas[k].linea =
                    linea + (p1 < bit ? 1U : 0U) + (p2 < bit ? 1U : 0U) + (p3 < bit ? 1U : 0U);
            }
        } else {
            for (; k < piezas.size() && piezas[k].desde - bloque < 64; ++k) {
                const auto bit = static_cast<unsigned>(piezas[k].desde - bloque);
                piezas[k].linea = linea + unos(m & ((std::uint64_t{1} << bit) - 1));
            }
        }
        linea += unos(m);
    }
}

// Copies n bytes, sizeof(T) <= n <= 2 * sizeof(T): the first and the last
// sizeof(T), which overlap when n is less than twice that.
template <typename T>
inline void copia_extremos(char* destino, const char* origen, std::size_t n) {
    T a;
    T b;
    std::memcpy(&a, origen, sizeof a);
    std::memcpy(&b, origen + n - sizeof b, sizeof b);
    std::memcpy(destino, &a, sizeof a);
    std::memcpy(destino + n - sizeof b, &b, sizeof b);
}

// Copies n bytes, most often fewer than 16: two loads and two stores at
// most, with no call.
inline void copia(char* destino, const char* origen, std::size_t n) {
    if (n >= 16) {
        std::memcpy(destino, origen, n);
    } else if (n >= 8) {
        copia_extremos<std::uint64_t>(destino, origen, n);
    } else if (n >= 4) {
        copia_extremos<std::uint32_t>(destino, origen, n);
    } else if (n > 0) {
        destino[0] = origen[0];
        destino[n / 2] = origen[n / 2];
        destino[n - 1] = origen[n - 1];
    }
}

// Items numbered from 0 on, pushed at the back and dropped from the front,
// in a ring whose size is a power of two, doubled when it is full: item k
// stands at k's last bits, so that neither a push nor a drop moves any.
template <typename T>
class tramo {
   public:
    // One past the number of the last item.
    std::size_t fin() const { return fin_; }
    bool vacio() const { return base_ == fin_; }
    const T& operator[](std::size_t k) const { return v_[k & mascara_]; }
    const T& primero() const { return v_[base_ & mascara_]; }
    // A new last item, every field of it to be written in place: an item
    // built apart and copied whole would wait on the stores that built it.
    T& nuevo() {
        if (fin_ - base_ == capacidad_) {
            crece();
        }
        return v_[fin_++ & mascara_];
    }
    // The same with no look at the room left: for n new items after reserva(n).
    T& nuevo_con_sitio() { return v_[fin_++ & mascara_]; }
    // Room for n new items.
    void reserva(std::size_t n) {
        while (capacidad_ - (fin_ - base_) < n) {
            crece();
        }
    }

    // Drops the items numbered before k.
    void olvida_hasta(std::size_t k) { base_ = std::min(std::max(k, base_), fin_); }

   private:
    void crece() {
        std::vector<T> mayor(v_.empty() ? 64 : 2 * v_.size());
        const std::size_t mascara = mayor.size() - 1;
        for (std::size_t k = base_; k < fin_; ++k) {
            mayor[k & mascara] = v_[k & mascara_];
        }
        v_.swap(mayor);
        mascara_ = mascara;
        capacidad_ = v_.size();
    }

    std::vector<T> v_;
    std::size_t mascara_ = 0;
    std::size_t capacidad_ = 0;  // v_.size(), with no division by an item's size
    std::size_t base_ = 0;       // the first item held
    std::size_t fin_ = 0;
};

// The units are read as the compaction goes and dropped once behind it: it
// looks at most kPrevias units back and two ahead, so its memory does not
// grow with the source.
class compactador {
   public:
    // No line is looked at: every line break stays where it was. With
    // `lectura`, the tokens are kept there too, with their lines, for the
    // check.
    compactador(std::string_view fuente, lectura_php* lectura)
        : f_(fuente),
          escaner_(fuente, false, false, lectura != nullptr && !lineas_al_final(fuente, *lectura)),
          lectura_(lectura) {
        if (lectura_ != nullptr) {
            lectura_->piezas.clear();
            lectura_->resto.reset();
            lectura_->completa = fuente.size() < UINT32_MAX;
            guardando_ = lectura_->completa;
            lineas_al_final_ = lineas_al_final(fuente, *lectura_);
            if (guardando_) {
                // About one token in six bytes of real PHP.
                lectura_->piezas.reserve(std::min(lectura_->maximo, fuente.size() / 4 + 16));
            }
        }
        puede_saltar_ = !guardando_;
    }

    std::string compacta();

   private:
    // True when every token of `fuente` fits under the bound, so that no
    // scanner is kept for the check to read on with: the tokens' lines are
    // then counted once at the end (pon_lineas), not by the scanner.
    static bool lineas_al_final(std::string_view fuente, const lectura_php& lectura) {
        // A token takes a byte at least, and the end one more.
        return fuente.size() < UINT32_MAX && fuente.size() + 2 < lectura.maximo;
    }

    // True when unit k exists, read by now.
    bool hay(std::size_t k);
    // Good until the next unit is read or units are dropped.
    const unidad& en(std::size_t k) const { return unidades_[k]; }
    const firma& firma_de(std::size_t k) const { return firmas_[k]; }
    bool lee_unidad();
    // lee_unidad inlined, for the units read in order by compacta.
    // The unit read, or null at the end.
    const unidad* lee_unidad_en_linea();
    void olvida_hasta(std::size_t k);
    void anota(const pieza& leida, std::size_t inicio_unidad);
    // Reads on to the end of a string opened by `apertura`, giving each of its
    // tokens a firma, and writes its unit. Apart: most units are one token.
    const unidad* lee_cadena(const pieza& apertura, std::size_t inicio);
    void guarda(const pieza& leida);
    bool haz_sitio();
    void llega_al_maximo();
    // Whether a run of thousands of tokens is being written as it was, and
    // runs like it hold most of the source read so far (a table of numbers,
    // a font's widths). The check then reads such runs once, from the
    // source: keeping their tokens would be work for nothing.
    bool parece_tabla() const;
    // Every 64 units, with no token kept: before unit i, unread, 64 units
    // or more into a run written as it was, passes over the tokens ahead
    // that leave the scanner's state as it is, up to the next whitespace or
    // comment, as part of the run. Only when three code tokens follow right
    // after, so that the next gap looks back at none passed over.
    void salta_tabla(std::size_t i);
    void deja_de_guardar();
    bool conserva_piezas(std::string_view hueco, std::size_t b);
    bool se_separan(std::size_t b, bool sin_lineas) const;
    // Whether the look at the gap before unit b may keep it out of care,
    // where the units alone decide otherwise: the look reads from the first
    // of the units before b that it takes, in code, where a property name
    // after `->` may read otherwise (`yield from`, `enum`); a heredoc or
    // nowdoc right after b reads its body otherwise out of the source (its
    // closing marker's indentation looked ahead for); a string left open
    // runs to the end. The gaps decided by the units alone leave those to
    // the look, so that they write what it writes.
    bool mirada_cauta(std::size_t b) {
        std::size_t k = en_salida(b - n_previas_);
        while (k > 0 && (salida_[k - 1] == ' ' || salida_[k - 1] == '\t' ||
                         salida_[k - 1] == '\n' || salida_[k - 1] == '\r')) {
            --k;
        }
        if (k > 1 && salida_[k - 1] == '>' && salida_[k - 2] == '-') {
            return true;
        }
        if (en(b).clase == clase_pieza::cadena && en(b).fin == f_.size()) {
            return true;
        }
        // Most often the byte after the whitespace that follows unit b
        // starts neither a heredoc (`<<<`, `b<<<`), a string, nor a
        // comment: no unit is read ahead then.
        k = en(b).fin;
        while (k < f_.size() && (f_[k] == ' ' || f_[k] == '\t' || f_[k] == '\n' || f_[k] == '\r')) {
            ++k;
        }
        if (k == f_.size()) {
            return false;
        }
        const char c = f_[k];
        if (c != '<' && c != 'b' && c != 'B' && c != '/' && c != '#' && c != '\'' && c != '"' &&
            c != '`') {
            return false;
        }
        if (!hay(b + 1)) {
            return false;
        }
        const unidad& u = en(b + 1);
        const char primero = f_[u.inicio];
        return u.clase == clase_pieza::cadena &&
               (u.fin == f_.size() || primero == '<' ||
                ((primero == 'b' || primero == 'B') && u.fin - u.inicio > 1 &&
                 f_[u.inicio + 1] == '<'));
    }
    // Whether `<` stands before unit a as written, spaces or tabs between.
    bool tras_menor(std::size_t a) const {
        std::size_t k = en_salida(a);
        while (k > 0 && (salida_[k - 1] == ' ' || salida_[k - 1] == '\t')) {
            --k;
        }
        return k > 0 && salida_[k - 1] == '<';
    }
    // How unit a, a code unit, ends, unit a + 1 starting with `despues`.
    // `tras_numero_o_molde`: a name where a number or a cast could stand
    // before it, which `despues` rules out.
    final_unidad final_de(std::size_t a, char despues, bool& tras_numero_o_molde) const;
    std::string_view elige_hueco(std::string_view hueco, std::string_view lineas, std::size_t b);
    void escribe_hueco(std::string_view hueco);
    // Writes the units read but not yet written.
    void vuelca() {
        escribe(f_.data() + por_escribir_desde_, por_escribir_hasta_ - por_escribir_desde_);
        por_escribir_desde_ = por_escribir_hasta_;
    }
    // Appends n bytes at p to the result, through a pointer: most are a few
    // bytes, a unit or a gap, where a call of the library's append costs more
    // than the copy.
    void escribe(const char* p, std::size_t n) {
        if (n > salida_.size() - escrito_) {
            agranda(n);
        }
        copia(&salida_[escrito_], p, n);
        escrito_ += n;
    }
    void agranda(std::size_t n);
    // Before unit i, every 64 units, and at the end: the units since the
    // last count, `n`, count as written as they were when no byte was taken
    // out meanwhile (a look per block, none per gap).
    void cuenta_bloque(std::size_t n);
    char ultimo_escrito() const { return salida_[escrito_ - 1]; }

    std::string_view f_;
    escaner_php escaner_;
    tramo<unidad> unidades_;
    tramo<firma> firmas_;
    std::size_t n_firmas_ = 0;  // all read so far
    bool leidas_ = false;       // the scanner is at the end
    std::string lineas_;
    lectura_php* lectura_;    // null when no token is kept
    bool guardando_ = false;  // tokens go to lectura_, under its bound
    bool lineas_al_final_ = false;
    std::size_t guardadas_ = 0;  // the tokens kept: lectura_->piezas may hold more, unwritten
    // Where guarda goes out of line first (haz_sitio): the end of the room
    // made in lectura_->piezas, or the bound.
    std::size_t tope_ = 0;
    pieza_guardada* datos_ = nullptr;  // lectura_->piezas.data()

    // The result, in salida_'s first escrito_ bytes: salida_ is sized ahead,
    // to the source's size. The result is never longer (each byte it holds
    // is the source's, or a space where the source's gap dropped a byte);
    // escribe makes room all the same.
    std::string salida_;
    std::size_t escrito_ = 0;
    // Units that follow the last written with no gap, still to be written:
    // f_[por_escribir_desde_, por_escribir_hasta_).
    std::size_t por_escribir_desde_ = 0;
    std::size_t por_escribir_hasta_ = 0;
    // The code units written since the last open tag, up to kPrevias: the
    // n_previas_ units before the next to write, as any other unit sets the
    // count back to 0. Where the last units written start in salida_, by
    // their numbers' last bits.
    std::size_t n_previas_ = 0;
    std::array<std::size_t, kPrevias + 1> en_salida_{};
    std::size_t en_salida(std::size_t k) const { return en_salida_[k % en_salida_.size()]; }
    std::string ventana_;

    // The bytes of the source taken out by the last count, how many units lie
    // in blocks written as they were, and in the last run of such blocks.
    std::size_t quitados_ = 0;
    std::size_t en_tramos_largos_ = 0;
    std::size_t seguidas_ = 0;
    // With no token kept, a table's runs are passed over (salta_tabla), and
    // where the next whitespace or comment may start, as last found.
    bool puede_saltar_ = false;
    std::size_t blanco_en_ = 0;
};

// At the bound on the tokens kept, with one more to keep: the scanner as it
// stands now is what the check reads on with. Apart, out of the way of the
// tokens kept before.
[[gnu::noinline]] void compactador::llega_al_maximo() {
    if (lineas_al_final_) {
        // More tokens than bytes, which the scanner never gives: it counts
        // no lines to read on with, so the check lexes the source again.
        deja_de_guardar();
        return;
    }
    guardando_ = false;
    lectura_->resto.emplace(escaner_);
}

// Out of line: inlined in compacta, its look at the members the loop over
// units keeps made that loop 5 % slower on every source (measured).
[[gnu::noinline]] void compactador::cuenta_bloque(std::size_t n) {
    const std::size_t quitados = por_escribir_desde_ - escrito_;
    if (quitados == quitados_) {
        en_tramos_largos_ += n;
        seguidas_ += n;
    } else {
        seguidas_ = 0;
    }
    quitados_ = quitados;
}

bool compactador::parece_tabla() const {
    return seguidas_ >= lectura_->tramo_de_tabla && 4 * en_tramos_largos_ >= 3 * unidades_.fin();
}

namespace {

// Where, from i on, whitespace or a comment may start: a blank, `#` or `/`;
// the source's size if nowhere.
std::size_t busca_blanco(std::string_view s, std::size_t i) {
    return busca_clase<bytes_de<' ', '\t', '\n', '\r', '#', '/'>>(s, i);
}

// A pass over a table is worth a try when this many bytes at least lie
// before the next whitespace.
constexpr std::size_t kSaltoMinimo = 256;

}  // namespace

[[gnu::noinline]] void compactador::salta_tabla(std::size_t i) {
    const std::size_t p = escaner_.posicion();
    if (i != unidades_.fin() || seguidas_ == 0 || p != por_escribir_hasta_) {
        return;
    }
    if (blanco_en_ < p) {
        blanco_en_ = busca_blanco(f_, p);
    }
    if (blanco_en_ - p < kSaltoMinimo) {
        return;
    }
    // Tried on a copy: the pass, and the three tokens after it.
    escaner_php prueba = escaner_;
    std::size_t ultimo = 0;
    prueba.salta_codigo(blanco_en_, ultimo);
    const std::size_t llegada = prueba.posicion();
    if (llegada == p) {
        return;
    }
    // Each a unit of its own (a string closed in one token), of code, and
    // the next right after it.
    std::size_t fin = llegada;
    for (std::size_t k = 0; k < kPrevias; ++k) {
        const pieza leida = prueba.siguiente();
        if ((leida.clase != clase_pieza::codigo && leida.clase != clase_pieza::cadena) ||
            leida.texto.data() != f_.data() + fin || prueba.cadenas_abiertas() > 0) {
            return;
        }
        fin += leida.texto.size();
    }
    // The same pass, in the same state over the same bytes, ends at the same place.
    escaner_.salta_codigo(blanco_en_, ultimo);
    por_escribir_hasta_ = llegada;
}

// Drops the tokens kept: the check lexes the source again, reading the long
// runs left as they were once.
[[gnu::noinline]] void compactador::deja_de_guardar() {
    guardando_ = false;
    lectura_->completa = false;
    lectura_->piezas.clear();
    guardadas_ = 0;
    lineas_al_final_ = false;
    puede_saltar_ = true;
}

// Keeps a token as lexico_php gives it, while the tokens stay under the bound.
[[gnu::always_inline]] inline void compactador::guarda(const pieza& leida) {
    if (guardadas_ == tope_ && !haz_sitio()) {
        return;
    }
    const std::size_t largo = sin_lo_que_toma(leida.clase, leida.texto).size();
    // Field by field in place: a token built apart and copied whole would
    // wait on the narrow stores that built it.
    pieza_guardada& g = datos_[guardadas_++];
    g.desde = static_cast<std::uint32_t>(leida.texto.data() - f_.data());
    g.largo = static_cast<std::uint32_t>(largo);
    g.linea = static_cast<std::uint32_t>(leida.linea);
    g.clase = leida.clase;
    g.variante = leida.variante;
}

// At tope_, out of the way of the tokens kept before: at the bound, or with
// no room left for the next token, every 256 tokens, where a table's tokens
// also stop being kept. The vector grows by a block of tokens at a time, and
// each is written where it stands (a push of each costs a call and its
// frame); compacta trims what is left over. False when the token is not
// kept.
[[gnu::noinline]] bool compactador::haz_sitio() {
    if (parece_tabla()) {
        deja_de_guardar();
        return false;
    }
    if (guardadas_ + 1 >= lectura_->maximo) {
        llega_al_maximo();
        if (!lectura_->completa) {
            return false;
        }
    }
    auto& piezas = lectura_->piezas;
    if (guardadas_ == piezas.size()) {
        piezas.resize(guardadas_ + 256);
        datos_ = piezas.data();
    }
    tope_ = std::min(lectura_->maximo - 1, piezas.size());
    return true;
}

void compactador::anota(const pieza& leida, std::size_t inicio_unidad) {
    if (!es_trivial(leida.clase)) {
        if (guardando_) {
            guarda(leida);
        }
        firma& f = firmas_.nuevo();
        f.desde = static_cast<std::size_t>(leida.texto.data() - f_.data()) - inicio_unidad;
        f.largo = leida.texto.size();
        f.clase = leida.clase;
        f.variante = leida.variante;
        ++n_firmas_;
    }
}

// Reads the next unit; false at the end of the source. Apart, for the looks
// ahead of the rare gaps.
[[gnu::noinline]] bool compactador::lee_unidad() {
    unidades_.reserva(1);
    return lee_unidad_en_linea() != nullptr;
}

[[gnu::always_inline]] inline const unidad* compactador::lee_unidad_en_linea() {
    if (leidas_) {
        return nullptr;
    }
    for (;;) {
        // The scanner inlined: one token a unit, most often, with no call.
        const pieza leida = escaner_.lee_siguiente();
        if (leida.clase == clase_pieza::fin) {
            if (guardando_) {
                guarda(leida);
            }
            leidas_ = true;
            return nullptr;
        }
        if (es_trivial(leida.clase)) {
            continue;
        }
        // Whitespace and comments are all that stands between two units.
        const auto inicio = static_cast<std::size_t>(leida.texto.data() - f_.data());
        // Only a string's opening token (a quote, a backtick, a heredoc's
        // marker) leaves one open: between units none is.
        if (leida.clase == clase_pieza::cadena && escaner_.cadenas_abiertas() > 0) {
            return lee_cadena(leida, inicio);
        }
        if (guardando_) {
            guarda(leida);
        }
        // Room made by the caller: lee_unidad, or compacta every 64 units.
        unidad& u = unidades_.nuevo_con_sitio();
        u.inicio = inicio;
        u.fin = inicio + leida.texto.size();
        u.primera = n_firmas_;
        u.piezas = 1;
        u.sola = true;
        u.clase = leida.clase;
        u.variante = leida.variante;
        return &u;
    }
}

[[gnu::noinline]] const unidad* compactador::lee_cadena(const pieza& apertura, std::size_t inicio) {
    const std::size_t primera = n_firmas_;
    anota(apertura, inicio);
    std::size_t fin = inicio + apertura.texto.size();
    while (escaner_.cadenas_abiertas() > 0) {
        const pieza dentro = escaner_.siguiente();
        if (dentro.clase == clase_pieza::fin) {
            break;
        }
        anota(dentro, inicio);
        fin = static_cast<std::size_t>(dentro.texto.data() - f_.data()) + dentro.texto.size();
    }
    unidad& u = unidades_.nuevo_con_sitio();
    u.inicio = inicio;
    u.fin = fin;
    u.primera = primera;
    u.piezas = static_cast<std::uint32_t>(n_firmas_ - primera);
    u.sola = false;
    u.clase = apertura.clase;
    u.variante = apertura.variante;
    return &u;
}

bool compactador::hay(std::size_t k) {
    while (k >= unidades_.fin()) {
        if (!lee_unidad()) {
            return false;
        }
    }
    return true;
}

// Drops the units before k, and their tokens.
void compactador::olvida_hasta(std::size_t k) {
    unidades_.olvida_hasta(k);
    firmas_.olvida_hasta(unidades_.vacio() ? n_firmas_ : unidades_.primero().primera);
}

// The line breaks of most gaps, pointed at rather than built: LFs alone, or
// CR LF pairs alone.
constexpr std::size_t kSaltosHechos = 64;
template <std::size_t N>
constexpr std::array<char, N> alternados(char par, char impar) {
    std::array<char, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        bytes[i] = i % 2 == 0 ? par : impar;
    }
    return bytes;
}
constexpr std::array<char, kSaltosHechos> kLf = alternados<kSaltosHechos>('\n', '\n');
constexpr std::array<char, 2 * kSaltosHechos> kCrLf = alternados<2 * kSaltosHechos>('\r', '\n');

// The line breaks of a gap, in order and as they were: in `solo` where they
// mix, else in a constant. A lone CR keeps a space before a LF that followed
// it further on: together they would make one CR LF, one line where PHP
// counted two.
std::string_view saltos(std::string_view hueco, const char* fin_fuente, std::string& solo) {
    // Most gaps are a space, or a line end and indentation: their line ends
    // are counted, 16 bytes at a time while the source has 16 to read (the
    // bytes past the gap left out), with no byte written.
    // A space or a tab alone, the usual gap between two tokens on a line:
    // no line end, with no count.
    if (hueco.size() == 1 && (hueco[0] == ' ' || hueco[0] == '\t')) {
        return {kLf.data(), 0};
    }
    std::size_t lf = 0;
    std::size_t cr = 0;
    std::size_t pares = 0;  // LFs right after a CR
    const char* p = hueco.data();
    const char* const fin = p + hueco.size();
    if constexpr (kHayVectores) {
        unsigned cr_antes = 0;  // a CR last of the 16 bytes before
        while (p < fin && fin_fuente - p >= 16) {
            unsigned m_lf = clase_en_16<bytes_de<'\n'>>(p);
            unsigned m_cr = clase_en_16<bytes_de<'\r'>>(p);
            const auto n = static_cast<std::size_t>(fin - p);
            if (n < 16) {
                const unsigned dentro = (1U << n) - 1;
                m_lf &= dentro;
                m_cr &= dentro;
            }
            lf += pocos_unos(m_lf);
            if (m_cr != 0 || cr_antes != 0) {
                cr += pocos_unos(m_cr);
                pares += pocos_unos(m_lf & ((m_cr << 1) | cr_antes));
                cr_antes = (m_cr >> 15) & 1U;
            }
            p += std::min<std::size_t>(n, 16);
        }
    }
    for (char antes = p > hueco.data() ? p[-1] : '\0'; p < fin; ++p) {
        const char c = *p;
        lf += c == '\n' ? 1U : 0U;
        cr += c == '\r' ? 1U : 0U;
        pares += c == '\n' && antes == '\r' ? 1U : 0U;
        antes = c;
    }
    if (cr == 0 && lf <= kSaltosHechos) {
        return {kLf.data(), lf};
    }
    if (cr == pares && lf == pares && pares <= kSaltosHechos) {
        return {kCrLf.data(), 2 * pares};
    }
    solo.clear();
    bool cr_solo = false;
    for (std::size_t i = 0; i < hueco.size(); ++i) {
        if (hueco[i] == '\r' && i + 1 < hueco.size() && hueco[i + 1] == '\n') {
            solo += "\r\n";
            ++i;
            cr_solo = false;
        } else if (hueco[i] == '\r' || hueco[i] == '\n') {
            if (cr_solo && hueco[i] == '\n') {
                solo += ' ';
            }
            solo += hueco[i];
            cr_solo = hueco[i] == '\r';
        }
    }
    return solo;
}

// True when writing `hueco` and then unit b after what salida_ holds leaves
// PHP's tokens as they were, read from the code units before b, through b,
// to the unit after it and the gap that follows, as in the source. b may be
// the end of the source.
bool compactador::conserva_piezas(std::string_view hueco, std::size_t b) {
    const std::size_t desde = en_salida(b - n_previas_);
    ventana_.assign(salida_.data() + desde, escrito_ - desde);
    struct esperada {
        std::size_t unidad;
        std::size_t base;  // where it starts in ventana_
    };
    std::array<esperada, kPrevias + 2> esperadas{};
    std::size_t n = 0;
    for (std::size_t k = b - n_previas_; k < b; ++k) {
        esperadas[n++] = {k, en_salida(k) - desde};
    }
    ventana_ += hueco;
    // Every unit looked at read first: reading one may move those held, and
    // the references below must stay good.
    hay(b + 2);
    const bool al_final = !hay(b);
    if (!al_final) {
        const unidad& ub = en(b);
        esperadas[n++] = {b, ventana_.size()};
        std::size_t ultima_unidad = b;
        if (hay(b + 1) && ub.clase != clase_pieza::cierre && es_de_codigo(en(b + 1))) {
            ultima_unidad = b + 1;
            esperadas[n++] = {b + 1, ventana_.size() + (en(b + 1).inicio - ub.inicio)};
        }
        // And the gap that follows, as it stands in the source: a heredoc's
        // closing marker wants a byte after it.
        const unidad& ul = en(ultima_unidad);
        const std::size_t hasta = ul.clase == clase_pieza::cierre ? ul.fin
                                  : hay(ultima_unidad + 1)        ? en(ultima_unidad + 1).inicio
                                                                  : f_.size();
        ventana_.append(f_.substr(ub.inicio, hasta - ub.inicio));
    }

    escaner_php escaner(ventana_, true, false, false);
    for (std::size_t e = 0; e < n; ++e) {
        const unidad& u = en(esperadas[e].unidad);
        for (std::uint32_t j = 0; j < u.piezas; ++j) {
            pieza leida = escaner.siguiente();
            while (es_trivial(leida.clase)) {
                leida = escaner.siguiente();
            }
            const firma debe =
                u.sola ? firma{0, u.fin - u.inicio, u.clase, u.variante} : firma_de(u.primera + j);
            // The last token's kind may hang on what follows the window.
            const bool ultima = e + 1 == n && j + 1 == u.piezas;
            if (static_cast<std::size_t>(leida.texto.data() - ventana_.data()) !=
                    esperadas[e].base + debe.desde ||
                leida.texto.size() != debe.largo || leida.clase != debe.clase ||
                ((al_final || !ultima) && leida.variante != debe.variante)) {
                return false;
            }
        }
    }
    return true;
}

// How unit a, a code unit, ends.
final_unidad compactador::final_de(std::size_t a, char despues, bool& tras_numero_o_molde) const {
    const unidad& u = en(a);
    const char primero = f_[u.inicio];
    const char ultimo = f_[u.fin - 1];
    if (u.clase == clase_pieza::documentacion) {
        // Closed: an open one runs to the end of the source.
        return u.fin - u.inicio >= 5 && ultimo == '/' && f_[u.fin - 2] == '*'
                   ? final_unidad::barrera
                   : final_unidad::otro;
    }
    if (u.clase == clase_pieza::cadena) {
        // A quoted string, closed: the unit ends where no string is open.
        const bool comillas = primero == '\'' || primero == '"' || primero == '`' ||
                              ((primero == 'b' || primero == 'B') && u.fin - u.inicio >= 3 &&
                               (f_[u.inicio + 1] == '\'' || f_[u.inicio + 1] == '"'));
        if (!comillas || u.fin - u.inicio < 2 ||
            (ultimo != '\'' && ultimo != '"' && ultimo != '`')) {
            return final_unidad::otro;
        }
        // `<<<` then a quoted name and a line end would open a heredoc.
        std::size_t k = en_salida(a);
        while (k > 0 && (salida_[k - 1] == ' ' || salida_[k - 1] == '\t')) {
            --k;
        }
        return k > 0 && salida_[k - 1] == '<' ? final_unidad::otro : final_unidad::barrera;
    }
    if (u.clase != clase_pieza::codigo || !u.sola) {
        return final_unidad::otro;
    }
    if (u.fin - u.inicio == 1 && primero == '[') {
        return final_unidad::barrera;
    }
    // `b` alone could prefix a string or a heredoc that follows it.
    const bool prefijo = u.fin - u.inicio == 1 && (primero == 'b' || primero == 'B');
    if (u.variante != matiz::ninguno || !sigue_nombre(ultimo) || prefijo ||
        !(empieza_nombre(primero) || primero == '$' || primero == '\\')) {
        return final_unidad::otro;
    }
    // Nor may it go on from what stands before it: a number (`1E` and `-3`,
    // `1.E`: only a sign goes on with one) or a cast (`( int` and `)`).
    std::size_t k = en_salida(a);
    if (k > 0 && (sigue_nombre(salida_[k - 1]) || salida_[k - 1] == '.')) {
        if (despues == '+' || despues == '-') {
            return final_unidad::otro;
        }
        tras_numero_o_molde = true;
    }
    while (k > 0 && (salida_[k - 1] == ' ' || salida_[k - 1] == '\t')) {
        --k;
    }
    if (k > 0 && salida_[k - 1] == '(') {
        if (despues == ')' && es_tipo_de_molde(f_.substr(u.inicio, u.fin - u.inicio))) {
            return final_unidad::otro;
        }
        tras_numero_o_molde = true;
    }
    return final_unidad::nombre;
}

// True when unit b - 1, a token of code, and unit b, with nothing or line
// ends alone between them, stay the tokens and kinds they were whatever
// stands around them, by what the two units are: the commonest gaps of code
// written with spaces inside brackets (`if ( ! empty( $a ) && $b )`).
// - After `(`, the one token that starts with it is a cast: `(`, spaces or
//   tabs, a type's name, spaces or tabs and `)`. Unless unit b is such a
//   name with nothing kept before it, none forms; `(` ends no other token
//   and begins no other construct.
// - After a variable, any byte that no name goes on with, but `\`: it
//   starts a token of its own, and a variable begins no construct.
// - After a number, `)`, `]`, `,`, `;` or an operator's byte but `.`,
//   which no number takes (a sign goes on only after an `e`, a name).
// - After an operator (`!`, `&&`, `.`, `->`...), no token goes on with a
//   variable, a digit, a quote, `(`, `!`, `@`, `\` or a name, and the
//   property state after `->` reads them as code would. But: `&` before a
//   variable is another kind of `&`; `.`, `+` or `-` before a digit may
//   make a number (`.5`, `1E-3`); `<` before a quote or a name may open a
//   heredoc (`<<<'A'`); after `->`, a comment put the name back in code
//   (where `enum` may be a keyword). `&`, `+` and `-` double, and `?` then
//   `-` may make `?->`, so those follow other operators only. A number's
//   digit never stands right before a `.` of its own, so `.` and a name
//   stay two tokens.
bool compactador::se_separan(std::size_t b, bool sin_lineas) const {
    const unidad& a = en(b - 1);
    if (a.clase != clase_pieza::codigo || !a.sola || a.variante != matiz::ninguno) {
        return false;
    }
    const unidad& u = en(b);
    const char primero = f_[a.inicio];
    const char despues = f_[u.inicio];
    const std::size_t largo = a.fin - a.inicio;
    if (largo == 1 && primero == '(') {
        return !sin_lineas || u.clase != clase_pieza::codigo ||
               !es_tipo_de_molde(f_.substr(u.inicio, u.fin - u.inicio));
    }
    if (primero == '$') {
        return largo >= 2 && !sigue_nombre(despues) && despues != '\\';
    }
    const bool cifra = despues >= '0' && despues <= '9';
    if (primero >= '0' && primero <= '9') {
        return despues == ')' || despues == ']' || despues == ',' || despues == ';' ||
               (es_operador(despues) && despues != '.');
    }
    const char ultimo = f_[a.fin - 1];
    if (!es_operador(primero) || !es_operador(ultimo)) {
        return false;
    }
    if (despues == '$') {
        return largo > 1 || primero != '&';
    }
    if (cifra) {
        return ultimo != '.' && ultimo != '+' && ultimo != '-';
    }
    if (despues == '\'' || despues == '"') {
        return ultimo != '<';
    }
    if (despues == '(' || despues == '!' || despues == '@' || despues == '\\') {
        return true;
    }
    if (empieza_nombre(despues)) {
        return ultimo != '<' && ultimo != '>';
    }
    if (despues == '&' || despues == '+') {
        return ultimo != despues;
    }
    if (despues == '-') {
        return ultimo != '-' && ultimo != '?';
    }
    return false;
}

// What stands between the last unit written and unit b, whose gap in the
// source is `hueco`: its line breaks alone, or else nothing or one space,
// or else the gap as it was.
std::string_view compactador::elige_hueco(std::string_view hueco, std::string_view lineas,
                                          std::size_t b) {
    const char antes = ultimo_escrito();
    // The usual gap, after `;`, `,`, a bracket or a brace: nothing runs into
    // what follows them.
    if (cierra_piezas(antes)) {
        return lineas;
    }
    if (hay(b)) {
        if (se_separan(b, lineas.empty()) && !mirada_cauta(b)) {
            return lineas;
        }
        const char despues = f_[en(b).inicio];
        bool tras_numero_o_molde = false;
        final_unidad final = final_de(b - 1, despues, tras_numero_o_molde);
        if (tras_numero_o_molde && final == final_unidad::nombre && mirada_cauta(b)) {
            final = final_unidad::otro;
        }
        if (final == final_unidad::barrera) {
            return lineas;
        }
        if (final == final_unidad::nombre && lineas.empty()) {
            // Glued, a byte of a name would make the name longer: a single
            // space, as the source has it, is what stays.
            if (hueco == " " && sigue_nombre(despues)) {
                return hueco;
            }
            // Any other byte starts a token of its own after a name, but a
            // backslash that would make one name of two.
            if (!sigue_nombre(despues) && despues != '\\') {
                return lineas;
            }
        }
        // With line ends kept, the same but where `<<<` stands before the
        // name: with a line end after it, a heredoc would open.
        if (final == final_unidad::nombre && !lineas.empty() && !sigue_nombre(despues) &&
            despues != '\\' && !tras_menor(b - 1) && !mirada_cauta(b)) {
            return lineas;
        }
        // `:` grows only into `::`.
        if (antes == ':' && despues != ':') {
            return lineas;
        }
        // A sign right after an `e` could be a number's exponent (`1E-3`).
        const std::size_t operador = en_salida(b - 1);
        const bool exponente = (antes == '+' || antes == '-') && operador > 0 &&
                               (salida_[operador - 1] == 'e' || salida_[operador - 1] == 'E');
        if (lineas.empty() && !exponente && sin_roce_operador(antes, despues)) {
            return lineas;
        }
    }
    // With a line end between them, `<<` `<` and a name or a quoted name
    // before it would open a heredoc.
    if (hay(b) && (lineas.empty() || antes == '(') && sin_roce(antes, f_[en(b).inicio])) {
        return lineas;
    }
    if (!lineas.empty()) {
        return conserva_piezas(lineas, b) ? lineas : hueco;
    }
    // `<` then `<`: a heredoc's <<< could come of them, with a line end after.
    const bool menores = hay(b) && antes == '<' && f_[en(b).inicio] == '<';
    if (!menores && conserva_piezas({}, b)) {
        return {};
    }
    return conserva_piezas(" ", b) ? std::string_view(" ") : hueco;
}

// Room for n more bytes than the result holds.
[[gnu::noinline]] void compactador::agranda(std::size_t n) {
    salida_.resize(std::max(2 * salida_.size(), escrito_ + n));
}

// Writes a gap; after a lone CR (an open tag's), a LF keeps a space before
// it, or the two would make one line.
void compactador::escribe_hueco(std::string_view hueco) {
    if (escrito_ > 0 && ultimo_escrito() == '\r' && !hueco.empty() && hueco.front() == '\n') {
        escribe(" ", 1);
    }
    escribe(hueco.data(), hueco.size());
}

std::string compactador::compacta() {
    salida_.resize(f_.size());
    for (std::size_t i = 0;; ++i) {
        // Now and then: the units held stay a few dozen. Until the next
        // time, compacta reads 64 units and the looks ahead two more at
        // most: room for twice that.
        if (i % 64 == 0) {
            if (i > kPrevias) {
                olvida_hasta(i - kPrevias);
            }
            unidades_.reserva(128);
            if (i > 0) {
                cuenta_bloque(64);
            }
            if (puede_saltar_) {
                salta_tabla(i);
            }
        }
        // The next unit, read here, most often the one after the last read.
        // Held as it was written when it is: no load of what was just stored.
        const unidad* u = i == unidades_.fin() ? lee_unidad_en_linea() : hay(i) ? &en(i) : nullptr;
        const bool al_final = u == nullptr;
        // The gap before unit i starts where the unit before it ended. Units
        // with no gap between them are one run of the source, written at once.
        const std::size_t hueco_hasta = al_final ? f_.size() : u->inicio;
        if (por_escribir_hasta_ < hueco_hasta) {
            // The gap's choice looks at what is written.
            vuelca();
            const std::string_view hueco =
                f_.substr(por_escribir_hasta_, hueco_hasta - por_escribir_hasta_);
            const std::string_view lineas = saltos(hueco, f_.data() + f_.size(), lineas_);
            // Right after the open tag nothing can run into what follows.
            escribe_hueco(n_previas_ == 0 ? lineas : elige_hueco(hueco, lineas, i));
            por_escribir_desde_ = hueco_hasta;
            por_escribir_hasta_ = hueco_hasta;
            // Reading ahead may have moved the units held.
            u = al_final ? nullptr : &en(i);
        }
        if (al_final) {
            break;
        }
        en_salida_[i % en_salida_.size()] = escrito_ + (u->inicio - por_escribir_desde_);
        por_escribir_hasta_ = u->fin;
        const bool codigo = es_de_codigo(*u) && u->clase != clase_pieza::cierre;
        n_previas_ = codigo ? std::min(n_previas_ + 1, kPrevias) : 0;
    }
    cuenta_bloque(unidades_.fin() % 64);
    vuelca();
    if (lectura_ != nullptr) {
        lectura_->piezas.resize(guardadas_);
        lectura_->unidades = unidades_.fin();
        lectura_->en_tramos_largos = en_tramos_largos_;
    }
    if (lineas_al_final_) {
        pon_lineas(f_, lectura_->piezas);
    }
    salida_.resize(escrito_);
    return std::move(salida_);
}

}  // namespace

std::string compacta_php(std::string_view fuente) {
    return compactador(fuente, nullptr).compacta();
}

std::string compacta_php(std::string_view fuente, lectura_php& lectura) {
    return compactador(fuente, &lectura).compacta();
}

}  // namespace kexo
