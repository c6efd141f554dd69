#include "tree/raices.h"

#include <algorithm>

namespace kexo {

namespace {

// True when one of the folders lies in the other, or both are one:
// `sobre_origen` holds the source and the folders above it, `sobre_destino`
// the destination (or where it would be made: `existe` false) and those above.
bool se_solapan(const std::vector<nodo>& sobre_origen, const std::vector<nodo>& sobre_destino,
                bool existe) {
    const auto contiene = [](const std::vector<nodo>& cadena, const nodo& n) {
        return std::any_of(cadena.begin(), cadena.end(),
                           [&n](const nodo& en) { return mismo_nodo(en, n); });
    };
    return (!sobre_origen.empty() && contiene(sobre_destino, sobre_origen.front())) ||
           (existe && !sobre_destino.empty() && contiene(sobre_origen, sobre_destino.front()));
}

// Opens the destination into `r`, making it when `crea`, and checks the overlap.
apertura_raices abre_destino(const std::string& destino, bool crea, raices& r, int& error) {
    r.destino.cierra();
    r.sobre_destino.clear();
    error = abre_o_crea_carpeta(destino, crea, r.destino, r.destino_existe);
    error = error != 0 ? error : ascendencia(r.destino, r.sobre_destino);
    if (error != 0) {
        return apertura_raices::sin_destino;
    }
    return se_solapan(r.sobre_origen, r.sobre_destino, crea || r.destino_existe)
               ? apertura_raices::solapan
               : apertura_raices::bien;
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
    return abre_destino(destino, false, r, error);
}

apertura_raices crea_destino(const std::string& destino, raices& r, int& error) {
    return abre_destino(destino, true, r, error);
}

}  // namespace kexo
