#include "tree/raices.h"

#include <algorithm>
#include <utility>

namespace kexo {

namespace {

// The place of `n` in `cadena`, or cadena.size() when it is not there.
std::size_t posicion(const std::vector<nodo>& cadena, const nodo& n) {
    return static_cast<std::size_t>(
        std::find_if(cadena.begin(), cadena.end(),
                     [&n](const nodo& en) { return mismo_nodo(en, n); }) -
        cadena.begin());
}

// True when the chain `ahora` ends with the chain `antes`, after `nuevas`
// folders: the same folders above the destination as when it was first seen.
bool mismas_de_arriba(const std::vector<nodo>& ahora, const std::vector<nodo>& antes,
                      std::size_t nuevas) {
    return ahora.size() == antes.size() + nuevas &&
           std::equal(antes.begin(), antes.end(),
                      ahora.begin() + static_cast<std::ptrdiff_t>(nuevas),
                      [](const nodo& a, const nodo& b) { return mismo_nodo(a, b); });
}

// Opens the destination into `r`, making it when `crea`, and checks the overlap.
apertura_raices abre_destino(const std::string& destino, bool crea, raices& r, int& error) {
    const std::vector<nodo> antes = std::move(r.sobre_destino);
    const std::size_t faltaban = r.faltan.size();
    const bool estaba_dentro = r.dentro_del_origen;
    r.destino.cierra();
    r.sobre_destino.clear();
    error = abre_o_crea_carpeta(destino, crea, r.destino, r.destino_existe, &r.faltan);
    error = error != 0 ? error : ascendencia(r.destino, r.sobre_destino);
    if (error != 0) {
        return apertura_raices::sin_destino;
    }
    if (r.sobre_origen.empty() || r.sobre_destino.empty()) {
        return apertura_raices::bien;
    }
    // The source in the destination, or both one folder: never.
    if ((crea || r.destino_existe) &&
        posicion(r.sobre_origen, r.sobre_destino.front()) < r.sobre_origen.size()) {
        return apertura_raices::solapan;
    }
    r.hondura = posicion(r.sobre_destino, r.sobre_origen.front());
    r.dentro_del_origen = r.hondura < r.sobre_destino.size();
    if (!r.dentro_del_origen) {
        r.hondura = 0;
    }
    if (crea && (r.dentro_del_origen || estaba_dentro) &&
        (!r.dentro_del_origen || !estaba_dentro ||
         !mismas_de_arriba(r.sobre_destino, antes, faltaban))) {
        return apertura_raices::solapan;
    }
    return apertura_raices::bien;
}

}  // namespace

apertura_raices abre_raices(const std::string& origen, const std::string& destino, raices& r,
                            int& error) {
    r.sobre_origen.clear();
    error = abre_carpeta(origen, r.origen);
    error = error != 0 ? error : ascendencia(r.origen, r.sobre_origen);
    if (error != 0) {
        return apertura_raices::sin_origen;
    }
    r.dentro_del_origen = false;
    r.faltan.clear();
    return abre_destino(destino, false, r, error);
}

apertura_raices crea_destino(const std::string& destino, raices& r, int& error) {
    return abre_destino(destino, true, r, error);
}

}  // namespace kexo
