#include "tree/patrones.h"

#include <algorithm>

namespace kexo {

namespace {

// Matches `c` against the set that opens at patron[p] (`[`); moves p past its
// `]`. Returns false, p untouched, when no `]` closes it: the `[` is then a
// byte like any other.
bool en_conjunto(std::string_view patron, std::size_t& p, char c, bool& dentro) {
    std::size_t i = p + 1;
    const bool niega = i < patron.size() && (patron[i] == '!' || patron[i] == '^');
    i += niega ? 1 : 0;
    bool hallado = false;
    for (bool primero = true; i < patron.size() && (primero || patron[i] != ']'); primero = false) {
        if (i + 2 < patron.size() && patron[i + 1] == '-' && patron[i + 2] != ']') {
            hallado = hallado || (patron[i] <= c && c <= patron[i + 2]);
            i += 3;
        } else {
            hallado = hallado || patron[i] == c;
            ++i;
        }
    }
    if (i >= patron.size()) {
        return false;
    }
    p = i + 1;
    dentro = hallado != niega;
    return true;
}

// Whether the pattern's byte at `p` matches `c`, moving p past what matched.
bool coincide_byte(std::string_view patron, std::size_t& p, char c) {
    bool dentro = false;
    if (patron[p] == '[' && en_conjunto(patron, p, c, dentro)) {
        return dentro;
    }
    const bool igual = patron[p] == '?' || patron[p] == c;
    ++p;
    return igual;
}

// Splits `ruta` at each `/`.
std::vector<std::string_view> nombres_de(std::string_view ruta) {
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

bool coincide_desde(const std::vector<std::string_view>& patron, std::size_t i,
                    const std::vector<std::string_view>& ruta, std::size_t j) {
    for (; i < patron.size(); ++i, ++j) {
        if (patron[i] == "**") {
            // At the end it stands for what lies inside: one name at least.
            for (std::size_t k = i + 1 == patron.size() ? j + 1 : j; k <= ruta.size(); ++k) {
                if (coincide_desde(patron, i + 1, ruta, k)) {
                    return true;
                }
            }
            return false;
        }
        if (j == ruta.size() || !coincide_nombre(patron[i], ruta[j])) {
            return false;
        }
    }
    return j == ruta.size();
}

}  // namespace

bool coincide_nombre(std::string_view patron, std::string_view texto) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t estrella = std::string_view::npos;  // the last `*` seen
    std::size_t tras_estrella = 0;                  // where its match ends so far
    while (t < texto.size()) {
        std::size_t siguiente = p;
        if (p < patron.size() && patron[p] == '*') {
            estrella = p++;
            tras_estrella = t;
        } else if (p < patron.size() && coincide_byte(patron, siguiente, texto[t])) {
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
    return coincide_desde(nombres_de(patron), 0, nombres_de(ruta), 0);
}

void reglas_exclusion::anade(std::string_view linea) {
    while (!linea.empty() && (linea.back() == ' ' || linea.back() == '\r')) {
        linea.remove_suffix(1);
    }
    if (linea.empty() || linea[0] == '#') {
        return;
    }
    regla r;
    r.escrita = std::string(linea);
    r.niega = linea[0] == '!';
    linea.remove_prefix(r.niega ? 1 : 0);
    if (linea.size() > 1 && linea[0] == '\\' && (linea[1] == '#' || linea[1] == '!')) {
        linea.remove_prefix(1);  // a name that starts with `#` or `!`
    }
    r.carpetas = !linea.empty() && linea.back() == '/';
    linea.remove_suffix(r.carpetas ? 1 : 0);
    r.anclada = linea.find('/') != std::string_view::npos;
    linea.remove_prefix(!linea.empty() && linea[0] == '/' ? 1 : 0);
    if (linea.empty()) {
        return;
    }
    r.patron = std::string(linea);
    reglas_.push_back(std::move(r));
}

void reglas_exclusion::anade_lineas(std::string_view texto) {
    for (std::size_t i = 0; i < texto.size();) {
        const std::size_t fin = std::min(texto.find('\n', i), texto.size());
        anade(texto.substr(i, fin - i));
        i = fin + 1;
    }
}

bool reglas_exclusion::excluye(std::string_view ruta, bool es_carpeta) {
    const std::size_t barra = ruta.rfind('/');
    const std::string_view nombre = barra == std::string_view::npos ? ruta : ruta.substr(barra + 1);
    bool fuera = false;
    for (regla& r : reglas_) {
        if (r.carpetas && !es_carpeta) {
            continue;
        }
        if (coincide_ruta(r.patron, r.anclada ? ruta : nombre)) {
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
