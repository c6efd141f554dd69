// kexo-arbol: compacts the PHP files of a whole tree into a mirror of it,
// copying the other files, and leaving as they are the PHP files whose
// program the compaction would change.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
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
#include "salida/paquete.h"
#include "salida/phar.h"
#include "salida/sumidero_fichero.h"
#include "salida/via.h"
#include "tree/empaquetado.h"
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
int quita_exportadas(opciones& o, const carpeta& origen, recorrido& hallado) {
    std::vector<std::string> avisos;
    std::string ilegible;
    const int error = quita_exportadas(origen, o.que, hallado, avisos, ilegible);
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

// The time SOURCE_DATE_EPOCH gives, into `epoca` (-1 when unset). Returns
// false when it is set to no such time.
bool lee_epoca(std::int64_t& epoca) {
    const std::string texto = lee_entorno("SOURCE_DATE_EPOCH");
    epoca = -1;
    if (texto.empty()) {
        return true;
    }
    if (texto.size() > 18 || texto.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    epoca = std::stoll(texto);
    return true;
}

// Says why the archive `o.destino` cannot be written. Returns the exit status.
int sin_paquete(const opciones& o, int error) {
    dice("Imposible escribir paquete " + o.destino + ": " + describe_error(error));
    return kFallo;
}

// The path of the archive inside the source, when it would lie there, from
// the folder it goes in (`sobre_paquete`: that folder and those above it)
// and the walk's entries; "" when it lies elsewhere, or in a folder left out.
std::string paquete_en_origen(const std::vector<nodo>& sobre_origen,
                              const std::vector<nodo>& sobre_paquete,
                              const std::vector<entrada>& entradas, const std::string& nombre) {
    const bool dentro = std::any_of(sobre_paquete.begin(), sobre_paquete.end(), [&](const nodo& n) {
        return mismo_nodo(n, sobre_origen.front());
    });
    if (!dentro) {
        return "";
    }
    if (mismo_nodo(sobre_paquete.front(), sobre_origen.front())) {
        return nombre;
    }
    for (const entrada& e : entradas) {
        if (e.tipo == tipo_entrada::carpeta && e.numero == sobre_paquete.front().numero &&
            e.dispositivo == sobre_paquete.front().dispositivo) {
            return e.ruta + "/" + nombre;
        }
    }
    return "";  // its folder is left out
}

// True when the walk, or the rules, leave the archive at `ruta` in the source out.
bool paquete_excluido(opciones& o, const std::vector<entrada>& entradas, const std::string& ruta) {
    if (std::any_of(entradas.begin(), entradas.end(),
                    [&](const entrada& e) { return e.ruta == ruta; })) {
        return false;  // there from a run before, and packed
    }
    if (o.que.solo_php && !tiene_extension(ruta, o.que.extensiones)) {
        return true;
    }
    return o.que.excluidos.excluye(ruta, false);
}

// How the archive is written, from the options.
opciones_paquete como_paquete(const opciones& o) {
    opciones_paquete como;
    como.formato = o.formato;
    como.comprime = o.formato == formato_paquete::zip || o.comprime;
    como.firma = o.firma;
    como.alias = o.alias.empty() ? ultimo_nombre(o.destino) : o.alias;
    if (o.formato == formato_paquete::phar) {
        como.stub = !o.ruta_stub.empty()
                        ? o.stub
                        : stub_phar(como.alias, o.principal.empty()
                                                    ? std::string()
                                                    : ruta_en_paquete(o.prefijo, o.principal));
    }
    return como;
}

// Checks what the PHAR's options name: the script --principal runs, the stub
// --stub gives. Returns the exit status, or kSigue.
int comprueba_phar(const opciones& o, const std::vector<entrada>& entradas) {
    if (!o.principal.empty() &&
        !std::any_of(entradas.begin(), entradas.end(), [&](const entrada& e) {
            return e.ruta == o.principal &&
                   (e.tipo == tipo_entrada::php || e.tipo == tipo_entrada::otro);
        })) {
        dice("--principal: " + o.principal + " no es un fichero del paquete (no esta en " +
             o.origen + ", o queda fuera)");
        return kFallo;
    }
    if (o.formato == formato_paquete::phar && !alias_valido(como_paquete(o).alias)) {
        dice("Alias no valido: " + como_paquete(o).alias +
             " (PHP no abre un PHAR cuyo alias tiene /, \\, :, ; o un salto de linea)");
        return kFallo;
    }
    if (o.formato == formato_paquete::phar && entradas.empty()) {
        dice("Nada que empaquetar en " + o.origen + ": PHP no abre un PHAR sin entradas");
        return kFallo;
    }
    if (!o.ruta_stub.empty() && !stub_valido(o.stub)) {
        dice("Stub no valido en " + o.ruta_stub + ": no acaba en __HALT_COMPILER();");
        return kFallo;
    }
    return kSigue;
}

// A run that packs the tree into one archive: the source walked, the archive
// written beside its destination and put in its place once whole.
int ejecuta_paquete(opciones& o) {
    carpeta origen;
    std::vector<nodo> sobre_origen;
    int error = abre_carpeta(o.origen, origen);
    error = error != 0 ? error : ascendencia(origen, sobre_origen);
    if (error != 0) {
        return rechaza(apertura_raices::sin_origen, o, error);
    }
    carpeta del_paquete;
    std::string en_su_carpeta;
    std::vector<nodo> sobre_paquete;
    error = abre_carpeta_de(o.destino, del_paquete, en_su_carpeta);
    error = error != 0 ? error : ascendencia(del_paquete, sobre_paquete);
    if (error != 0) {
        return sin_paquete(o, error);
    }
    if (const int estado = prepara_aviso(o); estado != kSigue) {
        return estado;
    }
    std::int64_t epoca = -1;
    if (!lee_epoca(epoca)) {
        dice("SOURCE_DATE_EPOCH no valido: " + lee_entorno("SOURCE_DATE_EPOCH"));
        return kFallo;
    }
    const auto inicio = std::chrono::steady_clock::now();
    tiempos_fases tiempos;
    tiempos_fases* const midiendo = o.tiempos ? &tiempos : nullptr;
    recorrido hallado;
    {
        const medida recorriendo(midiendo, fase::recorrido);
        hallado =
            recorre(origen, o.que, {}, {}, hilos_posibles(o.hilos, descriptores_permitidos()));
    }
    if (o.que.exporta) {
        if (const int estado = quita_exportadas(o, origen, hallado); estado != kSigue) {
            return estado;
        }
    }
    const std::string nombre = ultimo_nombre(o.destino);
    if (const std::string dentro =
            paquete_en_origen(sobre_origen, sobre_paquete, hallado.entradas, nombre);
        !dentro.empty() && !paquete_excluido(o, hallado.entradas, dentro)) {
        dice("El paquete quedaria dentro del origen, en " + dentro + ": ha de quedar fuera (-x)");
        return kFallo;
    }
    if (const int estado = comprueba_phar(o, hallado.entradas); estado != kSigue) {
        return estado;
    }
    avisa_patrones_vanos(o.que);
    const opciones_paquete como = como_paquete(o);
    opciones_empaquetado empaquetando;
    empaquetando.prefijo = o.prefijo;
    empaquetando.epoca = epoca;
    empaquetando.sin_enlaces = o.formato == formato_paquete::phar;
    empaquetando.solo_carpetas_vacias = o.formato == formato_paquete::phar;
    empaquetando.raiz = sobre_origen.front();
    const carpeta ninguna;
    espejo obra(origen, ninguna, hallado.entradas, o.trabajo, sobre_origen.front());
    obra.hay_destino = false;
    // An archive makes no folders: nothing to note of them by entry.
    obra.sin_carpetas_hechas();
    paquete_informado informado;
    informado.ruta = o.destino;
    empaquetado hecho;
    if (o.trabajo.simula) {
        hecho = empaqueta(obra, empaquetando, nullptr, o.hilos, midiendo);
    } else {
        destino paquete;
        destino aparte;  // never put in place: gone with the run
        if ((error = paquete.abre(o.destino)) != 0 || (error = aparte.abre(o.destino)) != 0) {
            return sin_paquete(o, error);
        }
        sumidero_fichero salida(paquete.flujo());
        sumidero_fichero apartado(aparte.flujo());
        const std::unique_ptr<escritor_paquete> escritor = crea_escritor(como, salida, apartado);
        hecho = empaqueta(obra, empaquetando, escritor.get(), o.hilos, midiendo);
        error = hecho.error != 0 ? hecho.error : salida.vacia();
        if (!o.principal.empty()) {
            paquete.antes_de_colocar([](int fd, const nodo*) { hace_ejecutable(fd); });
        }
        const int al_colocar = paquete.confirma(error == 0);
        error = error != 0 ? error : al_colocar;
        informado.bytes = salida.tamano();
        informado.escrito = error == 0;
        informado.error = error;
        if (error != 0) {
            sin_paquete(o, error);
        }
    }
    const int estado = informa(hallado.entradas, hecho.informes, hallado.fallos, {}, o.informe,
                               o.trabajo.simula ? nullptr : &informado);
    if (midiendo != nullptr) {
        informa_tiempos(tiempos, std::chrono::steady_clock::now() - inicio,
                        hilos_posibles(o.hilos, descriptores_permitidos()), o.informe.json);
    }
    return estado;
}

int ejecuta(int argc, char** argv) {
    opciones o;
    if (const int estado = lee_orden(argc, argv, o); estado != kSigue) {
        return estado;
    }
    if (o.formato != formato_paquete::carpeta) {
        return ejecuta_paquete(o);
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
        if (estado = quita_exportadas(o, r.origen, hallado); estado != kSigue) {
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
