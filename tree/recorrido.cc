#include "tree/recorrido.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <iterator>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
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

// A folder still to be listed: its path from the root, what its parent's
// listing showed, and whether its PHP files are copied as they are.
struct pendiente {
    std::string ruta;
    nodo visto;
    bool intacta = false;
};

// What the walk keeps of the destination: the folders it may not write in
// from, where the destination lies, and whether it was found left out.
struct vigia_destino {
    const std::vector<nodo>& prohibidos;
    const destino_en_origen& destino;
    bool fuera = false;
};

// True when the rules leave out the destination still to be made at the
// names `faltan` below the folder at `relativa`: it, or a folder it would lie in.
bool deja_fuera(filtro& que, const std::string& relativa, const std::vector<std::string>& faltan) {
    std::string ruta = relativa;
    for (const std::string& nombre : faltan) {
        ruta = ruta.empty() ? nombre : ruta + "/" + nombre;
        if (que.excluidos.excluye(ruta, true)) {
            return true;
        }
    }
    return false;
}

// Whether the walk goes on past the forbidden folder `j` met at `ruta`. Left
// out by the rules, it is never entered, and a destination in it is left out.
// Else only a folder above the destination, below the root, is walked; the
// nearest to a destination still to be made only when the rules leave out
// the rest of the way.
bool admite_prohibida(std::size_t j, bool excluida, const std::string& ruta, filtro& que,
                      vigia_destino& vigia) {
    const destino_en_origen& destino = vigia.destino;
    if (excluida) {
        vigia.fuera = vigia.fuera || (destino.dentro && j < destino.hondura);
        return true;
    }
    if (!destino.dentro || j >= destino.hondura) {
        return false;
    }
    if (j == 0) {
        if (destino.faltan.empty() || !deja_fuera(que, ruta, destino.faltan)) {
            return false;  // the destination itself, or a way to it left in
        }
        vigia.fuera = true;
    }
    return true;
}

// Lists the folder `c`, at `relativa` under the root, into `hallado`, and
// puts its folders in `pendientes`. Returns false when a folder met is one
// of the forbidden ones that may not be passed.
bool anade_carpeta(const carpeta& c, const std::string& relativa, bool intacta, filtro& que,
                   vigia_destino& vigia, recorrido& hallado, std::vector<pendiente>& pendientes) {
    std::vector<std::pair<std::string, nodo>> listado;
    if (const int error = lista_carpeta(c, listado); error != 0) {
        hallado.fallos.push_back({relativa.empty() ? "." : relativa, error});
    }
    const std::vector<nodo>& prohibidos = vigia.prohibidos;
    for (const auto& [nombre, visto] : listado) {
        std::string ruta = relativa.empty() ? nombre : relativa + "/" + nombre;
        const bool excluida = que.excluidos.excluye(ruta, visto.clase == clase_nodo::carpeta);
        if (visto.clase == clase_nodo::carpeta) {
            nodo quien = visto;
            // Where a listing tells no identity, a folder is opened to tell it,
            // while a destination in the source is still to be found.
            if (quien.numero == 0 && vigia.destino.dentro && !vigia.fuera) {
                carpeta abierta;
                abre_carpeta_bajo(c, nombre, abierta, quien);
            }
            const auto j = static_cast<std::size_t>(
                std::find_if(prohibidos.begin(), prohibidos.end(),
                             [&quien](const nodo& n) { return mismo_nodo(n, quien); }) -
                prohibidos.begin());
            if (j < prohibidos.size() && !admite_prohibida(j, excluida, ruta, que, vigia)) {
                return false;
            }
        }
        if (excluida) {
            continue;
        }
        entrada e{ruta, tipo_de(nombre, visto.clase, que)};
        // What --sin-compactar names: a PHP file, or a folder whose PHP files,
        // at any depth, are all copied as they are.
        const bool carpeta = e.tipo == tipo_entrada::carpeta;
        const bool sin_compactar =
            intacta || ((carpeta || e.tipo == tipo_entrada::php) && !que.sin_compactar.vacias() &&
                        que.sin_compactar.excluye(ruta, carpeta));
        const bool php_intacto = e.tipo == tipo_entrada::php && sin_compactar;
        if (php_intacto) {
            e.tipo = tipo_entrada::otro;
        }
        if (e.tipo == tipo_entrada::otro && que.solo_php && !php_intacto) {
            continue;
        }
        e.varios_nombres = visto.clase == clase_nodo::fichero && visto.nombres > 1;
        e.dispositivo = visto.dispositivo;
        e.numero = visto.numero;
        e.visto = visto_entrada(visto);
        if (e.tipo == tipo_entrada::carpeta) {
            pendientes.push_back({ruta, visto, sin_compactar});
        }
        hallado.entradas.push_back(std::move(e));
    }
    return true;
}

// The folders still to be listed, shared by the threads that walk: each
// takes the one put last, so that the walk goes depth first.
struct pila_compartida {
    std::mutex cerrojo;
    std::condition_variable cambio;
    std::vector<pendiente> pendientes;
    unsigned ocupados = 0;     // threads listing a folder, which may put more here
    bool solapa = false;       // a forbidden folder met: every thread stops
    std::exception_ptr fallo;  // what a thread threw (memory ran out): every thread stops
};

// What one thread of the walk keeps to itself until all are done.
struct caminante {
    filtro que;
    vigia_destino vigia;
    recorrido hallado;
};

// Opens the folder `p` beneath the root and lists it into `hallado`, its
// folders into `nuevas`. Returns false when a forbidden folder may not be passed.
bool lista_pendiente(const carpeta& raiz, const pendiente& p, filtro& que, vigia_destino& vigia,
                     recorrido& hallado, std::vector<pendiente>& nuevas) {
    // One folder open at a time, whatever the depth.
    carpeta abierta;
    nodo visto;
    const int error = abre_carpeta_bajo(raiz, p.ruta, abierta, visto);
    const bool cambiada = error == ELOOP || error == ENOTDIR || error == ENOENT ||
                          (error == 0 && !mismo_nodo(visto, p.visto) && p.visto.numero != 0);
    if (error != 0 || cambiada) {
        hallado.fallos.push_back({p.ruta, error, cambiada});
        return true;
    }
    return anade_carpeta(abierta, p.ruta, p.intacta, que, vigia, hallado, nuevas);
}

// One thread's share of the walk: folders taken from `pila` until none is
// left and no thread can put more, or until one met is forbidden.
void camina(const carpeta& raiz, pila_compartida& pila, filtro& que, vigia_destino& vigia,
            recorrido& hallado) {
    std::vector<pendiente> nuevas;
    std::unique_lock<std::mutex> llave(pila.cerrojo);
    for (;;) {
        pila.cambio.wait(llave, [&pila] {
            return pila.solapa || pila.fallo || !pila.pendientes.empty() || pila.ocupados == 0;
        });
        if (pila.solapa || pila.fallo || pila.pendientes.empty()) {
            break;
        }
        const pendiente p = std::move(pila.pendientes.back());
        pila.pendientes.pop_back();
        ++pila.ocupados;
        llave.unlock();
        const bool sigue = lista_pendiente(raiz, p, que, vigia, hallado, nuevas);
        llave.lock();
        --pila.ocupados;
        pila.solapa = pila.solapa || !sigue;
        const bool despierta = !nuevas.empty() || pila.ocupados == 0 || pila.solapa;
        pila.pendientes.insert(pila.pendientes.end(), std::make_move_iterator(nuevas.begin()),
                               std::make_move_iterator(nuevas.end()));
        nuevas.clear();
        if (despierta) {
            pila.cambio.notify_all();
        }
    }
}

// camina, with what it throws kept for the thread that started the walk:
// nothing escapes a thread, and the others stop.
void camina_a_salvo(const carpeta& raiz, pila_compartida& pila, filtro& que, vigia_destino& vigia,
                    recorrido& hallado) {
    try {
        camina(raiz, pila, que, vigia, hallado);
    } catch (...) {
        const std::lock_guard<std::mutex> solo(pila.cerrojo);
        if (!pila.fallo) {
            pila.fallo = std::current_exception();
        }
        pila.cambio.notify_all();
    }
}

// Leaves out the folders that would hold no file, at any depth, as rsync's
// --prune-empty-dirs does: those emptied by what the filter left out, and
// those empty in the source too. A special file, which is never made, holds
// up no folder.
void poda_carpetas_vacias(std::vector<entrada>& entradas) {
    std::unordered_set<std::string_view> llenas;
    for (const entrada& e : entradas) {
        if (e.tipo == tipo_entrada::carpeta || e.tipo == tipo_entrada::especial) {
            continue;
        }
        std::string_view ruta = e.ruta;
        for (std::size_t barra; (barra = ruta.rfind('/')) != std::string_view::npos;) {
            ruta = ruta.substr(0, barra);
            if (!llenas.insert(ruta).second) {
                break;  // it, and the folders above it, already held up
            }
        }
    }
    std::vector<bool> queda(entradas.size());
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        queda[i] = entradas[i].tipo != tipo_entrada::carpeta || llenas.count(entradas[i].ruta) > 0;
    }
    llenas.clear();
    std::size_t hasta = 0;
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        if (queda[i] && hasta++ != i) {
            entradas[hasta - 1] = std::move(entradas[i]);
        }
    }
    entradas.erase(entradas.begin() + static_cast<std::ptrdiff_t>(hasta), entradas.end());
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

void quita_entradas(std::vector<entrada>& entradas,
                    const std::function<bool(const entrada&)>& fuera, bool solo_php) {
    std::vector<bool> quitada(entradas.size());
    std::size_t hasta = 0;
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        // A folder comes before what it holds: its own fate is known.
        const std::size_t padre = entradas[i].padre;
        quitada[i] = (padre != kNinguna && quitada[padre]) || fuera(entradas[i]);
        if (!quitada[i] && hasta++ != i) {
            entradas[hasta - 1] = std::move(entradas[i]);
        }
    }
    entradas.erase(entradas.begin() + static_cast<std::ptrdiff_t>(hasta), entradas.end());
    if (solo_php) {
        poda_carpetas_vacias(entradas);
    }
    for (entrada& e : entradas) {
        e.padre = kNinguna;
        e.principal = kNinguna;
    }
    enlaza_entradas(entradas);
}

int quita_exportadas(const carpeta& raiz, filtro& que, recorrido& hallado,
                     std::vector<std::string>& avisos, std::string& ilegible) {
    const auto sin_leer = [&hallado](const std::string& ruta) {
        return std::any_of(hallado.fallos.begin(), hallado.fallos.end(),
                           [&ruta](const fallo_recorrido& f) { return f.ruta == ruta; });
    };
    std::vector<std::string> carpetas;
    if (!sin_leer(".")) {
        carpetas.emplace_back();
    }
    for (const entrada& e : hallado.entradas) {
        if (e.tipo == tipo_entrada::carpeta && !sin_leer(e.ruta)) {
            carpetas.push_back(e.ruta);
        }
    }
    if (const int error = lee_atributos(raiz, carpetas, que.exportacion, avisos, ilegible);
        error != 0) {
        return error;
    }
    const atributos_exportacion& atributos = que.exportacion;
    quita_entradas(
        hallado.entradas,
        [&atributos](const entrada& e) {
            return atributos.marcada(e.ruta, e.tipo == tipo_entrada::carpeta);
        },
        que.solo_php);
    hallado.fallos.erase(std::remove_if(hallado.fallos.begin(), hallado.fallos.end(),
                                        [&atributos](const fallo_recorrido& f) {
                                            return f.ruta != "." &&
                                                   atributos.deja_fuera(f.ruta, true);
                                        }),
                         hallado.fallos.end());
    return 0;
}

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

recorrido recorre(const carpeta& raiz, filtro& que, const std::vector<nodo>& prohibidos,
                  const destino_en_origen& destino, unsigned hilos) {
    recorrido hallado;
    pila_compartida pila;
    vigia_destino vigia{prohibidos, destino};
    // A destination to be made right below the root: left out, or refused.
    if (destino.dentro && destino.hondura == 0) {
        if (destino.faltan.empty() || !deja_fuera(que, "", destino.faltan)) {
            hallado.solapa = true;
            return hallado;
        }
        vigia.fuera = true;
    }
    if (!anade_carpeta(raiz, "", false, que, vigia, hallado, pila.pendientes)) {
        hallado.solapa = true;
        return hallado;
    }
    // The other threads, each with its own findings, its own copy of the
    // rules (which note what matched) and of what it saw of the destination.
    std::vector<caminante> otros;
    otros.reserve(hilos > 1 ? hilos - 1 : 0);
    for (unsigned h = 1; h < hilos; ++h) {
        otros.push_back({que, vigia_destino{prohibidos, destino, vigia.fuera}, {}});
    }
    std::vector<std::thread> hebras;
    for (caminante& otro : otros) {
        try {
            hebras.emplace_back([&raiz, &pila, &otro] {
                camina_a_salvo(raiz, pila, otro.que, otro.vigia, otro.hallado);
            });
        } catch (const std::system_error&) {
            break;  // no more threads now: those started do the walk
        }
    }
    camina_a_salvo(raiz, pila, que, vigia, hallado);
    for (std::thread& hebra : hebras) {
        hebra.join();
    }
    if (pila.fallo) {
        std::rethrow_exception(pila.fallo);
    }
    // Every thread's entries in one list just as long, each thread's freed
    // once moved: no room to spare kept for the rest of the run.
    std::size_t total = hallado.entradas.size();
    for (std::size_t h = 0; h < hebras.size(); ++h) {
        total += otros[h].hallado.entradas.size();
    }
    if (hallado.entradas.capacity() != total) {
        std::vector<entrada> todas;
        todas.reserve(total);
        todas.insert(todas.end(), std::make_move_iterator(hallado.entradas.begin()),
                     std::make_move_iterator(hallado.entradas.end()));
        hallado.entradas.swap(todas);
    }
    for (std::size_t h = 0; h < hebras.size(); ++h) {
        caminante& otro = otros[h];
        que.excluidos.suma_coincidencias(otro.que.excluidos);
        que.sin_compactar.suma_coincidencias(otro.que.sin_compactar);
        vigia.fuera = vigia.fuera || otro.vigia.fuera;
        hallado.entradas.insert(hallado.entradas.end(),
                                std::make_move_iterator(otro.hallado.entradas.begin()),
                                std::make_move_iterator(otro.hallado.entradas.end()));
        std::vector<entrada>().swap(otro.hallado.entradas);
        hallado.fallos.insert(hallado.fallos.end(), otro.hallado.fallos.begin(),
                              otro.hallado.fallos.end());
    }
    if (pila.solapa) {
        hallado = recorrido{};
        hallado.solapa = true;
        return hallado;
    }
    // A destination in the source that the walk did not find left out.
    if (destino.dentro && !vigia.fuera) {
        hallado = recorrido{};
        hallado.solapa = true;
        return hallado;
    }
    std::sort(hallado.entradas.begin(), hallado.entradas.end(),
              [](const entrada& a, const entrada& b) { return a.ruta < b.ruta; });
    std::sort(hallado.fallos.begin(), hallado.fallos.end(),
              [](const fallo_recorrido& a, const fallo_recorrido& b) {
                  return std::tie(a.ruta, a.error, a.cambiado) <
                         std::tie(b.ruta, b.error, b.cambiado);
              });
    if (que.solo_php) {
        poda_carpetas_vacias(hallado.entradas);
    }
    enlaza_entradas(hallado.entradas);
    return hallado;
}

namespace {

// An owner or group number as an entry keeps it.
std::uint32_t numero_guardado(std::int64_t numero) {
    return numero >= 0 && numero < std::int64_t{UINT32_MAX} ? static_cast<std::uint32_t>(numero)
                                                            : UINT32_MAX;
}

std::int64_t numero_leido(std::uint32_t guardado) {
    return guardado == UINT32_MAX ? -1 : std::int64_t{guardado};
}

}  // namespace

visto_entrada::visto_entrada(const nodo& n)
    : tamano(n.tamano),
      tiempo(n.tiempo),
      modo(n.modo),
      dueno(numero_guardado(n.dueno)),
      grupo(numero_guardado(n.grupo)),
      clase(n.clase) {}

nodo visto_de(const entrada& que) {
    nodo n;
    n.clase = que.visto.clase;
    n.dispositivo = que.dispositivo;
    n.numero = que.numero;
    n.nombres = que.varios_nombres ? 2 : 1;
    n.tamano = que.visto.tamano;
    n.tiempo = que.visto.tiempo;
    n.modo = que.visto.modo;
    n.dueno = numero_leido(que.visto.dueno);
    n.grupo = numero_leido(que.visto.grupo);
    return n;
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
