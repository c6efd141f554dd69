// kexo-arbol: compacts the PHP files of a whole tree into a mirror of it,
// copying the other files, and leaving as they are the PHP files whose
// program the compaction would change.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "common/cronometro.h"
#include "common/errores.h"
#include "common/ficheros.h"
#include "common/procesos.h"
#include "compaction/vias.h"
#include "notice/aviso.h"
#include "salida/destino.h"
#include "salida/via.h"
#include "tree/estado.h"
#include "tree/informe.h"
#include "tree/opciones.h"
#include "tree/raices.h"
#include "tree/recorrido.h"
#include "tree/reparto.h"
#include "tree/trabajo.h"

namespace kexo {
namespace {

constexpr int kFallo = 1;

// The version, the ways of scanning this processor runs, best first, and
// the one this run uses.
void imprime_version(via_escaneo elegida) {
    std::printf("kexo-arbol %s\nVias de escaneo:", KEXO_VERSION);
    for (const via_escaneo via :
         {via_escaneo::bloques_avx512, via_escaneo::bloques_avx2, via_escaneo::por_paradas}) {
        if (admite(via)) {
            std::printf(" %s", nombre_de(via));
        }
    }
    std::printf("\nElegida: %s\n", nombre_de(elegida));
}

constexpr const char* kSolapan = "Origen y destino se solapan: ninguno puede estar dentro del otro";
constexpr const char* kDestinoDentro =
    "Origen y destino se solapan: un destino dentro del origen ha de quedar fuera (-x)";

// Says `mensaje` on standard error, as every message of this program but the report.
void dice(const std::string& mensaje) {
    std::fprintf(stderr, "kexo-arbol: %s\n", mensaje.c_str());
}

// Says why the roots could not be used, as `como` found. Returns the exit status.
int rechaza(apertura_raices como, const opciones& o, int error) {
    if (como == apertura_raices::sin_origen) {
        dice("Imposible abrir carpeta origen " + o.origen + ": " + describe_error(error));
    } else if (como == apertura_raices::sin_destino) {
        dice("Imposible crear carpeta destino " + o.destino + ": " + describe_error(error));
    } else {
        dice(kSolapan);
    }
    return kFallo;
}

// Not an exit status: the run goes on.
constexpr int kSigue = -1;

// Reads the command line into `o`, and answers there what it alone answers:
// bad usage, --help, --version, a way of scanning this processor lacks.
// Returns the exit status, or kSigue.
int lee_orden(int argc, char** argv, opciones& o) {
    if (orden_mal mal; !lee_opciones(argc, argv, o, mal)) {
        dice(mal.que);
        if (mal.de_uso) {
            std::fputs(texto_uso().c_str(), stderr);
        }
        return kFallo;
    }
    if (o.ayuda) {
        std::fputs(texto_uso().c_str(), stdout);
        return 0;
    }
    if (!elige_via(o.trabajo.via, stderr, "kexo-arbol: ")) {
        return kFallo;
    }
    if (o.version) {
        imprime_version(o.trabajo.via);
        return 0;
    }
    return kSigue;
}

// Reads the notice from PHPRC's folder unless --aviso gave it, and refuses
// one that the chosen rules cannot carry safely. Returns the exit status, or kSigue.
int prepara_aviso(opciones& o) {
    if (!o.aviso_dado) {
        const std::string phprc = lee_entorno("PHPRC");
        o.trabajo.scopy = lee_copyright(phprc);
        o.ruta_aviso = ruta_aviso(phprc);
    }
    o.trabajo.clave = clave_de(salida_de(o, KEXO_VERSION));
    // Refused whatever the rules and -c: written, its rest would be code.
    if (const std::string por_que =
            rechazo_aviso(o.trabajo.scopy, o.trabajo.modo == modo_reglas::php);
        !por_que.empty()) {
        dice("Aviso no valido en " + o.ruta_aviso + ": " + por_que +
             ", que cerraria el comentario que lo lleva");
        return kFallo;
    }
    return kSigue;
}

// Walks the source. A folder of the source that is the destination or holds
// it ends the walk, unless the rules leave it out; that is said, and `estado`
// set to the exit status.
recorrido recorre_origen(opciones& o, const raices& r, tiempos_fases* tiempos, int& estado) {
    const medida recorriendo(tiempos, fase::recorrido);
    destino_en_origen dentro;
    dentro.dentro = r.dentro_del_origen;
    dentro.hondura = r.hondura;
    dentro.faltan = r.faltan;
    recorrido hallado = recorre(r.origen, o.que, r.sobre_destino, dentro,
                                hilos_posibles(o.hilos, descriptores_permitidos()));
    if (hallado.solapa) {
        if (r.dentro_del_origen) {
            dice(kDestinoDentro);
            estado = kFallo;
        } else {
            estado = rechaza(apertura_raices::solapan, o, 0);
        }
    }
    return hallado;
}

// Leaves out what the source's `.gitattributes` mark export-ignore, saying
// their warnings. Returns the exit status, or kSigue.
int quita_exportadas(opciones& o, const raices& r, recorrido& hallado) {
    std::vector<std::string> avisos;
    std::string ilegible;
    const int error = quita_exportadas(r.origen, o.que, hallado, avisos, ilegible);
    for (const std::string& aviso : avisos) {
        dice("Aviso: " + aviso);
    }
    if (error != 0) {
        dice("Imposible leer " + ilegible + ": " + describe_error(error));
        return kFallo;
    }
    return kSigue;
}

// Warns of the patterns that matched nothing.
void avisa_patrones_vanos(const filtro& que) {
    for (const std::string& patron : que.excluidos.sin_coincidencias()) {
        dice("Aviso: el patron " + patron + " no deja fuera nada");
    }
    for (const std::string& patron : que.sin_compactar.sin_coincidencias()) {
        dice("Aviso: el patron " + patron + " no deja sin compactar nada");
    }
}

// Makes the destination's root, unless the run writes nothing, and clears
// what a dead run left in it. Sets `nuevo`: the root did not exist before.
// Returns the exit status, or kSigue.
int prepara_destino(const opciones& o, raices& r, bool& nuevo) {
    nuevo = !r.destino_existe;
    if (o.trabajo.simula) {
        return kSigue;
    }
    int error = 0;
    if (const apertura_raices como = crea_destino(o.destino, r, error);
        como != apertura_raices::bien) {
        return rechaza(como, o, error);
    }
    // New only when still missing as it was made: one that came to be
    // during the walk may hold a run's files.
    nuevo = nuevo && !r.faltan.empty();
    // A root made read-only by a run before: writable again until its bits are set back.
    deja_escribir_en(r.destino);
    borra_temporales_abandonados(r.destino, [&](const std::string& nombre) {
        nodo n;  // a name the source has is the source's, however it looks
        return examina_en(r.origen, nombre, n) != 0 || n.clase != clase_nodo::ninguno;
    });
    return kSigue;
}

int ejecuta(int argc, char** argv) {
    opciones o;
    if (const int estado = lee_orden(argc, argv, o); estado != kSigue) {
        return estado;
    }
    raices r;
    int error = 0;
    if (const apertura_raices como = abre_raices(o.origen, o.destino, r, error);
        como != apertura_raices::bien) {
        return rechaza(como, o, error);
    }
    if (const int estado = prepara_aviso(o); estado != kSigue) {
        return estado;
    }
    const auto inicio = std::chrono::steady_clock::now();
    tiempos_fases tiempos;
    tiempos_fases* const midiendo = o.tiempos ? &tiempos : nullptr;
    int estado = kSigue;
    recorrido hallado = recorre_origen(o, r, midiendo, estado);
    if (estado != kSigue) {
        return estado;
    }
    if (o.que.exporta) {
        if (estado = quita_exportadas(o, r, hallado); estado != kSigue) {
            return estado;
        }
    }
    avisa_patrones_vanos(o.que);
    bool destino_nuevo = false;
    if (estado = prepara_destino(o, r, destino_nuevo); estado != kSigue) {
        return estado;
    }
    espejo obra(r.origen, r.destino, hallado.entradas, o.trabajo, r.sobre_origen.front());
    obra.hay_destino = !o.trabajo.simula || r.destino_existe;
    obra.destino_nuevo = destino_nuevo;
    std::vector<borrado> borrados;
    const auto borra = [&]() -> const std::vector<borrado>& {
        // A folder of the source not read whole would lose in the destination what it still has.
        if (!hallado.fallos.empty()) {
            dice("Aviso: no se borra nada, el origen no se pudo leer entero");
        } else {
            borrados = borra_sobrantes(obra, o.que, o.borra_excluidos);
        }
        return borrados;
    };
    const std::vector<informe_trabajo> informes =
        refleja(obra, o.hilos,
                o.borra ? std::function<const std::vector<borrado>&()>(borra) : nullptr, midiendo);
    // The root's attributes last, as every other folder's, once all it holds is written.
    if (!o.trabajo.simula) {
        if (const int fallo = copia_atributos_carpeta(r.origen, r.destino); fallo != 0) {
            hallado.fallos.push_back({".", fallo, false, true});
        }
    }
    estado = informa(hallado.entradas, informes, hallado.fallos, borrados, o.informe);
    if (midiendo != nullptr) {
        informa_tiempos(tiempos, std::chrono::steady_clock::now() - inicio,
                        hilos_posibles(o.hilos, descriptores_permitidos()), o.informe.json);
    }
    return estado;
}

}  // namespace
}  // namespace kexo

int main(int argc, char** argv) {
    try {
        return kexo::ejecuta(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("kexo-arbol: Memoria insuficiente\n", stderr);
        return kexo::kFallo;
    }
}
