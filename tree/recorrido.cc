#include "tree/recorrido.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace kexo {

namespace {

tipo_entrada tipo_de(const std::string& nombre, clase_nodo clase, const filtro& que) {
    switch (clase) {
        case clase_nodo::carpeta:
            return tipo_entrada::carpeta;
        case clase_nodo::enlace:
            return tipo_entrada::enlace;
        case clase_nodo::fichero:
            return tiene_extension(nombre, que.extensiones) ? tipo_entrada::php
                                                            : tipo_entrada::otro;
        default:
            return tipo_entrada::especial;
    }
}

// A folder still to be listed: its path from the root, and what its
// parent's listing showed.
struct pendiente {
    std::string ruta;
    nodo visto;
};

// Lists the folder `c`, at `relativa` under the root, into `hallado`, and
// puts its folders in `pendientes`. Returns false when a folder met is one
// of `prohibidos`.
bool anade_carpeta(const carpeta& c, const std::string& relativa, filtro& que,
                   const std::vector<nodo>& prohibidos, recorrido& hallado,
                   std::vector<pendiente>& pendientes) {
    std::vector<std::pair<std::string, nodo>> listado;
    if (const int error = lista_carpeta(c, listado); error != 0) {
        hallado.fallos.push_back({relativa.empty() ? "." : relativa, error});
    }
    for (const auto& [nombre, visto] : listado) {
        // Even left out, a folder that is the destination means they overlap.
        if (visto.clase == clase_nodo::carpeta &&
            std::any_of(prohibidos.begin(), prohibidos.end(),
                        [&visto = visto](const nodo& n) { return mismo_nodo(n, visto); })) {
            return false;
        }
        std::string ruta = relativa.empty() ? nombre : relativa + "/" + nombre;
        if (que.excluidos.excluye(ruta, visto.clase == clase_nodo::carpeta)) {
            continue;
        }
        entrada e;
        e.ruta = ruta;
        e.tipo = tipo_de(nombre, visto.clase, que);
        if (e.tipo == tipo_entrada::otro && que.solo_php) {
            continue;
        }
        e.varios_nombres = visto.clase == clase_nodo::fichero && visto.nombres > 1;
        e.dispositivo = visto.dispositivo;
        e.numero = visto.numero;
        e.visto = visto;
        if (e.tipo == tipo_entrada::carpeta) {
            pendientes.push_back({ruta, visto});
        }
        hallado.entradas.push_back(std::move(e));
    }
    return true;
}

// Gives each entry the index of its folder, and each file with other hard
// links the first entry of the same file and kind, if that is not itself.
void enlaza_entradas(std::vector<entrada>& entradas) {
    std::unordered_map<std::string_view, std::size_t> carpetas;
    std::map<std::tuple<std::uint64_t, std::uint64_t, tipo_entrada>, std::size_t> ficheros;
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        entrada& e = entradas[i];
        const std::size_t barra = e.ruta.rfind('/');
        if (barra != std::string::npos) {
            const auto padre = carpetas.find(std::string_view(e.ruta).substr(0, barra));
            e.padre = padre != carpetas.end() ? padre->second : kNinguna;
        }
        if (e.tipo == tipo_entrada::carpeta) {
            carpetas.emplace(e.ruta, i);
        }
        if (e.varios_nombres && e.numero != 0) {
            const auto [primera, nueva] =
                ficheros.emplace(std::make_tuple(e.dispositivo, e.numero, e.tipo), i);
            if (!nueva) {
                e.principal = primera->second;
            }
        }
    }
}

}  // namespace

bool tiene_extension(std::string_view nombre, const std::vector<std::string>& extensiones) {
    const std::size_t punto = nombre.rfind('.');
    if (punto == std::string_view::npos || punto == 0) {
        return false;
    }
    const std::string_view extension = nombre.substr(punto + 1);
    return std::any_of(extensiones.begin(), extensiones.end(), [extension](const std::string& e) {
        return e.size() == extension.size() &&
               std::equal(e.begin(), e.end(), extension.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    });
}

recorrido recorre(const carpeta& raiz, filtro& que, const std::vector<nodo>& prohibidos) {
    recorrido hallado;
    std::vector<pendiente> pendientes;
    if (!anade_carpeta(raiz, "", que, prohibidos, hallado, pendientes)) {
        hallado.solapa = true;
        return hallado;
    }
    // One folder open at a time, whatever the depth.
    while (!pendientes.empty()) {
        const pendiente p = std::move(pendientes.back());
        pendientes.pop_back();
        carpeta abierta;
        nodo visto;
        const int error = abre_carpeta_bajo(raiz, p.ruta, abierta, visto);
        const bool cambiada = error == ELOOP || error == ENOTDIR || error == ENOENT ||
                              (error == 0 && !mismo_nodo(visto, p.visto) && p.visto.numero != 0);
        if (error != 0 || cambiada) {
            hallado.fallos.push_back({p.ruta, error, cambiada});
            continue;
        }
        if (!anade_carpeta(abierta, p.ruta, que, prohibidos, hallado, pendientes)) {
            hallado.solapa = true;
            return hallado;
        }
    }
    std::sort(hallado.entradas.begin(), hallado.entradas.end(),
              [](const entrada& a, const entrada& b) { return a.ruta < b.ruta; });
    std::sort(hallado.fallos.begin(), hallado.fallos.end(),
              [](const fallo_recorrido& a, const fallo_recorrido& b) { return a.ruta < b.ruta; });
    enlaza_entradas(hallado.entradas);
    return hallado;
}

bool sigue_igual(const entrada& que, const nodo& visto) {
    clase_nodo clase = clase_nodo::otro;
    switch (que.tipo) {
        case tipo_entrada::carpeta:
            clase = clase_nodo::carpeta;
            break;
        case tipo_entrada::php:
        case tipo_entrada::otro:
            clase = clase_nodo::fichero;
            break;
        case tipo_entrada::enlace:
            clase = clase_nodo::enlace;
            break;
        case tipo_entrada::especial:
            break;
    }
    return visto.clase == clase && (que.numero == 0 || (que.numero == visto.numero &&
                                                        que.dispositivo == visto.dispositivo));
}

std::string nombre_de(const entrada& que) {
    const std::size_t barra = que.ruta.rfind('/');
    return barra == std::string::npos ? que.ruta : que.ruta.substr(barra + 1);
}

}  // namespace kexo
