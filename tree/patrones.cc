#include "tree/patrones.h"

#include <algorithm>

namespace kexo {

namespace {

constexpr std::size_t kMal = std::string_view::npos;  // where a set is malformed

// Whether the byte `c` is of the class named `clase` (`digit` for `[:digit:]`),
// in ASCII alone as git has it: `space` is space, tab, LF and CR. -1 when no
// class has that name.
int en_clase(std::string_view clase, unsigned char c) {
    const bool digito = c >= '0' && c <= '9';
    const bool minuscula = c >= 'a' && c <= 'z';
    const bool mayuscula = c >= 'A' && c <= 'Z';
    const bool letra = minuscula || mayuscula;
    const bool grafica = c > ' ' && c < 0x7f;
    const struct {
        std::string_view nombre;
        bool es;
    } clases[] = {
        {"alnum", letra || digito},
        {"alpha", letra},
        {"blank", c == ' ' || c == '\t'},
        {"cntrl", c < ' ' || c == 0x7f},
        {"digit", digito},
        {"graph", grafica},
        {"lower", minuscula},
        {"print", grafica || c == ' '},
        {"punct", grafica && !letra && !digito},
        {"space", c == ' ' || c == '\t' || c == '\n' || c == '\r'},
        {"upper", mayuscula},
        {"xdigit", digito || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')},
    };
    for (const auto& k : clases) {
        if (k.nombre == clase) {
            return k.es ? 1 : 0;
        }
    }
    return -1;
}

struct conjunto {
    bool dentro = false;  // whether the byte is in the set
    std::size_t fin = 0;  // just past its `]`, or kMal
};

// The byte the set's member at patron[i] stands for, `\` taking the next one
// as it is; moves i past it. False when a `\` ends the pattern.
bool lee_miembro(std::string_view patron, std::size_t& i, unsigned char& miembro) {
    if (patron[i] == '\\') {
        ++i;
        if (i == patron.size()) {
            return false;
        }
    }
    miembro = static_cast<unsigned char>(patron[i++]);
    return true;
}

// The set `[...]` that opens at patron[p], tried on the byte `c`. A `!` or `^`
// first negates it; a `]` first is a member; `a-z` is a range unless the `-`
// comes first or last, or just after a range or class; `[:name:]` is a class,
// and `[:` with no `:]` before the next `]` is only a `[`. It is malformed,
// matching nothing, when no `]` closes it, a `\` ends the pattern or a class
// has no known name.
conjunto lee_conjunto(std::string_view patron, std::size_t p, unsigned char c) {
    const std::size_t n = patron.size();
    std::size_t i = p + 1;
    const bool niega = i < n && (patron[i] == '!' || patron[i] == '^');
    i += niega ? 1 : 0;
    bool hallado = false;
    int previo = -1;  // the member before, a range's start; -1 when none may be
    for (bool primero = true;; primero = false) {
        if (i >= n) {
            return {false, kMal};
        }
        if (!primero && patron[i] == ']') {
            return {hallado != niega, i + 1};
        }
        unsigned char miembro = 0;
        if (patron[i] == '-' && previo >= 0 && i + 1 < n && patron[i + 1] != ']') {
            ++i;
            if (!lee_miembro(patron, i, miembro)) {
                return {false, kMal};
            }
            hallado = hallado || (previo <= c && c <= miembro);
            previo = -1;
        } else if (patron[i] == '[' && i + 1 < n && patron[i + 1] == ':') {
            const std::size_t cierre = patron.find(']', i + 2);
            if (cierre == std::string_view::npos) {
                return {false, kMal};
            }
            if (cierre < i + 3 || patron[cierre - 1] != ':') {
                hallado = hallado || c == '[';
                previo = '[';
                ++i;
                continue;
            }
            const int es = en_clase(patron.substr(i + 2, cierre - i - 3), c);
            if (es < 0) {
                return {false, kMal};
            }
            hallado = hallado || es == 1;
            previo = -1;
            i = cierre + 1;
        } else {
            if (!lee_miembro(patron, i, miembro)) {
                return {false, kMal};
            }
            hallado = hallado || miembro == c;
            previo = miembro;
        }
    }
}

// Where the piece of the pattern at patron[p] (a byte, `?`, `\x` or a set)
// ends, or kMal when it is malformed.
std::size_t fin_de_pieza(std::string_view patron, std::size_t p) {
    if (patron[p] == '[') {
        return lee_conjunto(patron, p, 0).fin;
    }
    if (patron[p] == '\\') {
        return p + 1 < patron.size() ? p + 2 : kMal;
    }
    return p + 1;
}

bool bien_formado(std::string_view patron) {
    for (std::size_t p = 0; p < patron.size();) {
        p = fin_de_pieza(patron, p);
        if (p == kMal) {
            return false;
        }
    }
    return true;
}

// Whether the pattern's piece at `p` (not `*`) matches `c`, moving p past it.
bool coincide_pieza(std::string_view patron, std::size_t& p, char c) {
    if (patron[p] == '[') {
        const conjunto k = lee_conjunto(patron, p, static_cast<unsigned char>(c));
        p = k.fin;
        return k.dentro;
    }
    const std::size_t fin = fin_de_pieza(patron, p);
    const bool igual = patron[p] == '\\' ? patron[p + 1] == c : patron[p] == '?' || patron[p] == c;
    p = fin;
    return igual;
}

// Splits the pattern `patron` into names at each `/`, a `\/` too, but not at
// one inside a set.
std::vector<std::string> nombres_de_patron(std::string_view patron) {
    std::vector<std::string> nombres(1);
    for (std::size_t p = 0; p < patron.size();) {
        if (patron[p] == '/' || patron.substr(p, 2) == "\\/") {
            nombres.emplace_back();
            p += patron[p] == '/' ? 1U : 2U;
            continue;
        }
        const std::size_t fin = std::min(fin_de_pieza(patron, p), patron.size());
        nombres.back() += patron.substr(p, fin - p);
        p = fin;
    }
    return nombres;
}

// Splits `ruta` at each `/`.
std::vector<std::string_view> nombres_de_ruta(std::string_view ruta) {
    std::vector<std::string_view> nombres;
    for (std::size_t i = 0;;) {
        const std::size_t barra = std::min(ruta.find('/', i), ruta.size());
        nombres.push_back(ruta.substr(i, barra - i));
        if (barra == ruta.size()) {
            return nombres;
        }
        i = barra + 1;
    }
}

// A name of the pattern made of two `*` or more crosses folders.
bool cruza(const std::string& nombre) {
    return nombre.size() > 1 && nombre.find_first_not_of('*') == std::string::npos;
}

// Matches the path's names against the pattern's, where a `**` stands for any
// number of names, and a last `**` for one at least: what lies inside. As in
// coincide_nombre, only the last `**` met is tried again further on, which
// keeps the time within the product of the two lengths.
bool coincide_nombres(const std::vector<std::string>& patron,
                      const std::vector<std::string_view>& ruta) {
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t cruce = std::string::npos;  // the last `**` seen
    std::size_t tras_cruce = 0;             // where its match ends so far
    while (j < ruta.size()) {
        if (i < patron.size() && cruza(patron[i])) {
            if (i + 1 == patron.size()) {
                return true;
            }
            cruce = i++;
            tras_cruce = j;
        } else if (i < patron.size() && coincide_nombre(patron[i], ruta[j])) {
            ++i;
            ++j;
        } else if (cruce != std::string::npos) {
            i = cruce + 1;
            j = ++tras_cruce;
        } else {
            return false;
        }
    }
    while (i + 1 < patron.size() && cruza(patron[i])) {
        ++i;
    }
    return i == patron.size();
}

// The line without its unescaped trailing spaces; a `\` at the very end keeps
// them all, as the pattern matches nothing anyway.
std::string_view sin_espacios_finales(std::string_view linea) {
    std::size_t fin = linea.size();  // where the trailing spaces start
    for (std::size_t i = 0; i < linea.size(); ++i) {
        if (linea[i] == ' ') {
            fin = std::min(fin, i);
            continue;
        }
        if (linea[i] == '\\' && ++i == linea.size()) {
            return linea;
        }
        fin = linea.size();
    }
    return linea.substr(0, fin);
}

}  // namespace

bool coincide_nombre(std::string_view patron, std::string_view texto) {
    if (!bien_formado(patron)) {
        return false;
    }
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t estrella = std::string_view::npos;  // the last `*` seen
    std::size_t tras_estrella = 0;                  // where its match ends so far
    while (t < texto.size()) {
        std::size_t siguiente = p;
        if (p < patron.size() && patron[p] == '*') {
            estrella = p++;
            tras_estrella = t;
        } else if (p < patron.size() && coincide_pieza(patron, siguiente, texto[t])) {
            p = siguiente;
            ++t;
        } else if (estrella != std::string_view::npos) {
            p = estrella + 1;
            t = ++tras_estrella;
        } else {
            return false;
        }
    }
    while (p < patron.size() && patron[p] == '*') {
        ++p;
    }
    return p == patron.size();
}

bool coincide_ruta(std::string_view patron, std::string_view ruta) {
    return bien_formado(patron) &&
           coincide_nombres(nombres_de_patron(patron), nombres_de_ruta(ruta));
}

void reglas_exclusion::anade(std::string_view linea) {
    if (!linea.empty() && linea[0] == '#') {
        return;
    }
    linea = sin_espacios_finales(linea);
    regla r;
    r.escrita = std::string(linea);
    r.niega = !linea.empty() && linea[0] == '!';
    linea.remove_prefix(r.niega ? 1 : 0);
    r.carpetas = !linea.empty() && linea.back() == '/';
    linea.remove_suffix(r.carpetas ? 1 : 0);
    r.anclada = linea.find('/') != std::string_view::npos;
    linea.remove_prefix(r.anclada && linea[0] == '/' ? 1 : 0);
    if (linea.empty()) {
        return;
    }
    r.nunca = !bien_formado(linea);
    r.nombres = nombres_de_patron(linea);
    reglas_.push_back(std::move(r));
}

void reglas_exclusion::anade_lineas(std::string_view texto) {
    constexpr std::string_view kMarcaBom = "\xEF\xBB\xBF";
    if (texto.substr(0, kMarcaBom.size()) == kMarcaBom) {
        texto.remove_prefix(kMarcaBom.size());
    }
    for (std::size_t i = 0; i < texto.size();) {
        std::size_t fin = std::min(texto.find('\n', i), texto.size());
        const std::size_t sin_cr = fin > i && texto[fin - 1] == '\r' ? fin - 1 : fin;
        anade(texto.substr(i, sin_cr - i));
        i = fin + 1;
    }
}

bool reglas_exclusion::excluye(std::string_view ruta, bool es_carpeta) {
    const std::vector<std::string_view> nombres = nombres_de_ruta(ruta);
    bool fuera = false;
    for (regla& r : reglas_) {
        if (r.nunca || (r.carpetas && !es_carpeta)) {
            continue;
        }
        const bool coincide = r.anclada ? coincide_nombres(r.nombres, nombres)
                                        : coincide_nombre(r.nombres[0], nombres.back());
        if (coincide) {
            r.coincidio = true;
            fuera = !r.niega;
        }
    }
    return fuera;
}

void reglas_exclusion::suma_coincidencias(const reglas_exclusion& copia) {
    for (std::size_t i = 0; i < reglas_.size() && i < copia.reglas_.size(); ++i) {
        reglas_[i].coincidio = reglas_[i].coincidio || copia.reglas_[i].coincidio;
    }
}

std::vector<std::string> reglas_exclusion::sin_coincidencias() const {
    std::vector<std::string> ninguna;
    for (const regla& r : reglas_) {
        if (!r.coincidio && !r.niega) {
            ninguna.push_back(r.escrita);
        }
    }
    return ninguna;
}

}  // namespace kexo
