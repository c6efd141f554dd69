#include "tree/exportacion.h"

#include <algorithm>
#include <cerrno>

#include "common/ficheros.h"
#include "salida/lectura.h"
#include "tree/patrones.h"

namespace kexo {

namespace {

constexpr std::string_view kBlancos = " \t\r\n";
constexpr std::string_view kMacro = "[attr]";
constexpr std::string_view kExportIgnore = "export-ignore";
// Longer lines, and larger files, git passes over.
constexpr std::size_t kLineaMaxima = 2048;
constexpr std::size_t kFicheroMaximo = std::size_t{100} << 20;
// A macro may name macros: deeper than this, only a loop of them goes.
constexpr unsigned kHonduraMacros = 64;

bool es_blanco(char c) {
    return kBlancos.find(c) != std::string_view::npos;
}

std::size_t salta_blancos(std::string_view s, std::size_t i) {
    while (i < s.size() && es_blanco(s[i])) {
        ++i;
    }
    return i;
}

std::size_t hasta_blanco(std::string_view s, std::size_t i) {
    while (i < s.size() && !es_blanco(s[i])) {
        ++i;
    }
    return i;
}

// A name git takes for an attribute: [-._0-9A-Za-z], not starting with `-`.
bool nombre_valido(std::string_view nombre) {
    if (nombre.empty() || nombre[0] == '-') {
        return false;
    }
    return std::all_of(nombre.begin(), nombre.end(), [](char c) {
        return c == '-' || c == '.' || c == '_' || (c >= '0' && c <= '9') ||
               (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// The C-style quoted string that opens at linea[i] (a `"`), with `\a \b \f
// \n \r \t \v \\ \"` and three octal digits; `fin` gets where it ends. False
// when it is not well formed: git then takes the `"` as part of the pattern.
bool desentrecomilla(std::string_view linea, std::size_t i, std::string& texto, std::size_t& fin) {
    texto.clear();
    for (++i; i < linea.size();) {
        const char c = linea[i++];
        if (c == '"') {
            fin = i;
            return true;
        }
        if (c != '\\') {
            texto += c;
            continue;
        }
        if (i == linea.size()) {
            return false;
        }
        const char e = linea[i++];
        constexpr std::string_view kLetras = "abfnrtv";
        constexpr std::string_view kValores = "\a\b\f\n\r\t\v";
        if (const std::size_t k = kLetras.find(e); k != std::string_view::npos) {
            texto += kValores[k];
        } else if (e == '\\' || e == '"') {
            texto += e;
        } else if (e >= '0' && e <= '3' && i + 1 < linea.size() && linea[i] >= '0' &&
                   linea[i] <= '7' && linea[i + 1] >= '0' && linea[i + 1] <= '7') {
            texto +=
                static_cast<char>((e - '0') << 6 | (linea[i] - '0') << 3 | (linea[i + 1] - '0'));
            i += 2;
        } else {
            return false;
        }
    }
    return false;
}

// Reads the states of a line, from `desde`: `attr`, `-attr`, `!attr`,
// `attr=value`. False when one names no valid attribute: git then drops the
// whole line.
bool lee_estados(std::string_view linea, std::size_t desde,
                 std::vector<atributos_exportacion::estado>& estados, std::string& malo) {
    using valor = atributos_exportacion::valor;
    for (std::size_t i = salta_blancos(linea, desde); i < linea.size();) {
        const std::size_t fin = hasta_blanco(linea, i);
        std::string_view pieza = linea.substr(i, fin - i);
        const std::size_t igual = pieza.find('=');
        valor que = igual != std::string_view::npos ? valor::otro : valor::puesto;
        pieza = pieza.substr(0, igual);
        if (!pieza.empty() && (pieza[0] == '-' || pieza[0] == '!')) {
            que = pieza[0] == '-' ? valor::quitado : valor::sin_fijar;
            pieza.remove_prefix(1);
        }
        if (!nombre_valido(pieza)) {
            malo = std::string(pieza);
            return false;
        }
        estados.push_back({std::string(pieza), que});
        i = salta_blancos(linea, fin);
    }
    return true;
}

}  // namespace

void atributos_exportacion::anade_fichero(const std::string& carpeta, std::string_view texto,
                                          std::vector<std::string>& avisos) {
    const std::string fichero = (carpeta.empty() ? "" : carpeta + "/") + ".gitattributes";
    constexpr std::string_view kMarcaBom = "\xEF\xBB\xBF";
    if (texto.substr(0, kMarcaBom.size()) == kMarcaBom) {
        texto.remove_prefix(kMarcaBom.size());
    }
    std::vector<regla>& reglas = ficheros_[carpeta];
    std::size_t numero = 0;
    for (std::size_t i = 0; i < texto.size();) {
        const std::size_t fin = std::min(texto.find('\n', i), texto.size());
        std::string_view linea = texto.substr(i, fin - i);
        i = fin + 1;
        ++numero;
        const std::string donde = fichero + ":" + std::to_string(numero) + ": ";
        if (!linea.empty() && linea.back() == '\r') {
            linea.remove_suffix(1);
        }
        // Git reads each line as a C string: a NUL ends it.
        linea = linea.substr(0, linea.find('\0'));
        std::size_t p = salta_blancos(linea, 0);
        if (p == linea.size() || linea[p] == '#') {
            continue;
        }
        if (linea.size() >= kLineaMaxima) {
            avisos.push_back(donde + "linea demasiado larga, no cuenta");
            continue;
        }
        std::string nombre;
        std::size_t estados_desde = 0;
        if (linea[p] != '"' || !desentrecomilla(linea, p, nombre, estados_desde)) {
            estados_desde = hasta_blanco(linea, p);
            nombre = std::string(linea.substr(p, estados_desde - p));
        }
        nombre = nombre.substr(0, nombre.find('\0'));
        const bool macro =
            nombre.size() > kMacro.size() && nombre.compare(0, kMacro.size(), kMacro) == 0;
        std::vector<estado> estados;
        std::string malo;
        if (macro) {
            if (!carpeta.empty()) {
                avisos.push_back(donde + "[attr] solo cuenta en el .gitattributes de la raiz");
                continue;
            }
            const std::string_view resto = std::string_view(nombre).substr(kMacro.size());
            const std::size_t desde = salta_blancos(resto, 0);
            const std::string_view macro_nombre =
                resto.substr(desde, hasta_blanco(resto, desde) - desde);
            if (!nombre_valido(macro_nombre)) {
                avisos.push_back(donde + "atributo no valido: " + std::string(macro_nombre));
                continue;
            }
            if (!lee_estados(linea, estados_desde, estados, malo)) {
                avisos.push_back(donde + "atributo no valido: " + malo);
                continue;
            }
            // The last definition of a macro is the one that counts.
            macros_[std::string(macro_nombre)] = std::move(estados);
            continue;
        }
        if (!lee_estados(linea, estados_desde, estados, malo)) {
            avisos.push_back(donde + "atributo no valido: " + malo);
            continue;
        }
        if (!nombre.empty() && nombre[0] == '!') {
            avisos.push_back(donde +
                             "un patron con ! no cuenta en atributos (\\! para un ! al principio)");
            continue;
        }
        regla r;
        r.carpetas = !nombre.empty() && nombre.back() == '/';
        if (r.carpetas) {
            nombre.pop_back();
        }
        r.solo_nombre = nombre.find('/') == std::string::npos;
        if (!r.solo_nombre && nombre[0] == '/') {
            nombre.erase(0, 1);
        }
        r.patron = std::move(nombre);
        r.estados = std::move(estados);
        reglas.push_back(std::move(r));
    }
}

bool atributos_exportacion::coincide(const regla& r, std::string_view base, std::string_view ruta,
                                     bool es_carpeta) const {
    if (r.patron.empty() || (r.carpetas && !es_carpeta)) {
        return false;
    }
    if (r.solo_nombre) {
        const std::size_t barra = ruta.rfind('/');
        return coincide_nombre(r.patron,
                               barra == std::string_view::npos ? ruta : ruta.substr(barra + 1));
    }
    return coincide_ruta(r.patron, base.empty() ? ruta : ruta.substr(base.size() + 1));
}

// Sets each attribute of `estados` still unset in `fijados`, the last first,
// as git does; an attribute set that is a macro sets the macro's in turn.
void atributos_exportacion::aplica(const std::vector<estado>& estados, std::vector<estado>& fijados,
                                   unsigned hondura) const {
    for (auto e = estados.rbegin(); e != estados.rend(); ++e) {
        const bool ya = std::any_of(fijados.begin(), fijados.end(),
                                    [&e](const estado& f) { return f.nombre == e->nombre; });
        if (ya) {
            continue;
        }
        fijados.push_back(*e);
        if (e->que == valor::puesto && hondura < kHonduraMacros) {
            if (const auto m = macros_.find(e->nombre); m != macros_.end()) {
                aplica(m->second, fijados, hondura + 1);
            }
        }
    }
}

bool atributos_exportacion::marcada(std::string_view ruta, bool es_carpeta) const {
    std::vector<estado> fijados;
    // The files of the folders the path lies in, the deepest first.
    for (std::size_t fin = ruta.size();;) {
        const std::size_t barra = fin == 0 ? std::string_view::npos : ruta.rfind('/', fin - 1);
        const std::string_view base = barra == std::string_view::npos ? "" : ruta.substr(0, barra);
        if (const auto f = ficheros_.find(base); f != ficheros_.end()) {
            for (auto r = f->second.rbegin(); r != f->second.rend(); ++r) {
                if (coincide(*r, base, ruta, es_carpeta)) {
                    aplica(r->estados, fijados, 0);
                }
            }
        }
        const auto dicho = std::find_if(fijados.begin(), fijados.end(),
                                        [](const estado& e) { return e.nombre == kExportIgnore; });
        if (dicho != fijados.end()) {
            return dicho->que == valor::puesto;
        }
        if (barra == std::string_view::npos) {
            return false;
        }
        fin = barra;
    }
}

bool atributos_exportacion::deja_fuera(std::string_view ruta, bool es_carpeta) const {
    for (std::size_t barra = ruta.find('/'); barra != std::string_view::npos;
         barra = ruta.find('/', barra + 1)) {
        if (marcada(ruta.substr(0, barra), true)) {
            return true;
        }
    }
    return marcada(ruta, es_carpeta);
}

int lee_atributos(const carpeta& raiz, const std::vector<std::string>& carpetas,
                  atributos_exportacion& atributos, std::vector<std::string>& avisos,
                  std::string& ilegible) {
    const std::string kNombre = ".gitattributes";
    for (const std::string& ruta : carpetas) {
        const std::string fichero = ruta.empty() ? kNombre : ruta + "/" + kNombre;
        carpeta abierta;
        const carpeta* en = &raiz;
        if (!ruta.empty()) {
            nodo vista;
            const int error = abre_carpeta_bajo(raiz, ruta, abierta, vista);
            if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
                continue;  // gone since the walk, or no longer a folder
            }
            if (error != 0) {
                ilegible = ruta;
                return error;
            }
            en = &abierta;
        }
        nodo visto;
        archivo abierto;
        const int error = abre_fichero_en(*en, kNombre, visto, abierto);
        if (visto.clase == clase_nodo::enlace) {
            avisos.push_back(fichero + ": es un enlace, no cuenta");
            continue;
        }
        if (error == ENOENT || (error != 0 && visto.clase != clase_nodo::ninguno &&
                                visto.clase != clase_nodo::fichero)) {
            continue;
        }
        std::string texto;
        const int al_leer = error != 0 ? error : lee_entero(abierto.get(), texto, kFicheroMaximo);
        if (al_leer == EFBIG) {
            avisos.push_back(fichero + ": demasiado grande, no cuenta");
            continue;
        }
        if (al_leer != 0) {
            ilegible = fichero;
            return al_leer;
        }
        atributos.anade_fichero(ruta, texto, avisos);
    }
    return 0;
}

}  // namespace kexo
