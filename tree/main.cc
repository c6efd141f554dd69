// kexo-arbol: compacts the PHP files of a whole tree into a mirror of it,
// copying the other files, and leaving as they are the PHP files whose
// program the compaction would change.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/carpeta.h"
#include "common/cronometro.h"
#include "common/errores.h"
#include "common/ficheros.h"
#include "common/procesos.h"
#include "compaction/vias.h"
#include "lexical/reglas_php.h"
#include "notice/aviso.h"
#include "salida/destino.h"
#include "salida/lectura.h"
#include "salida/via.h"
#include "tree/cola.h"
#include "tree/estado.h"
#include "tree/informe.h"
#include "tree/raices.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {
namespace {

constexpr const char* kUso =
    "Uso:    kexo-arbol [opciones] <origen> <destino>\n"
    "        <origen>    Carpeta origen.\n"
    "        <destino>   Carpeta destino, reflejo de la de origen.\n"
    "  -e, --extensiones=LISTA  extensiones de los ficheros PHP, separadas por comas (php)\n"
    "  -x, --excluye=PATRON     deja fuera las rutas que casan con PATRON, como en\n"
    "                           .gitignore (repetible)\n"
    "      --excluye-desde=FICHERO  lee los patrones de FICHERO, uno por linea\n"
    "      --aviso=FICHERO      el aviso es la primera linea de FICHERO (si no,\n"
    "                           la de $PHPRC/kexo.ini)\n"
    "      --sin-compactar=PATRON  copia tal cual los ficheros PHP que casan con\n"
    "                           PATRON, como en .gitignore (repetible)\n"
    "  -s, --solo-php           no copia los ficheros que no son PHP, ni hace las\n"
    "                           carpetas que quedarian vacias\n"
    "  -c, --sin-comprobar      compacta todo PHP, aunque cambie su programa\n"
    "  -j, --hilos=N            N hilos de trabajo (uno por nucleo)\n"
    "  -n, --simula             no escribe nada; da el mismo informe\n"
    "      --modo=REGLAS        kexo (las de kexo donde no cambian nada; si no, las de PHP)\n"
    "                           o php (las de PHP: cada pieza en su linea)\n"
    "      --informe=FORMATO    texto (el de siempre) o json: un objeto JSON por linea\n"
    "      --estricto           sale con 3 si algun fichero PHP queda sin compactar\n"
    "      --suma               compara el contenido del origen aunque su tamano y su\n"
    "                           fecha no hayan cambiado\n"
    "      --borra              borra del destino lo que ya no esta en el origen\n"
    "      --borra-excluidos    con --borra, borra tambien lo que dejan fuera -x y -s\n"
    "  -v, --detalla            en el informe de texto, una linea por entrada con lo\n"
    "                           hecho: k compactado (reglas de kexo), p (de PHP),\n"
    "                           = sin compactar, c copiado, + hecho, ! fallido,\n"
    "                           ~ cambiado, - omitido, . al dia; y el tipo:\n"
    "                           f fichero, d carpeta, L enlace, S especial;\n"
    "                           *borrado RUTA, lo que borra --borra\n"
    "      --tiempos            da al final el tiempo de cada fase del trabajo\n"
    "  -h, --help               da este texto\n"
    "      --version            da la version y las vias de escaneo de este procesador\n\n";

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

struct opciones {
    filtro que;
    opciones_trabajo trabajo;
    unsigned hilos = std::max(1u, std::thread::hardware_concurrency());
    std::string origen;
    std::string destino;
    opciones_informe informe;
    bool version = false;          // print the version, and nothing else
    bool ayuda = false;            // print the usage, and nothing else
    bool aviso_dado = false;       // the notice came from --aviso, not from PHPRC
    bool borra = false;            // remove from the destination what the source no longer has
    bool borra_excluidos = false;  // and what the patterns leave out
    std::vector<std::string> sin_compactar;  // the --sin-compactar patterns, as given
    bool tiempos = false;                    // print where the time went, phase by phase
};

std::vector<std::string> separa_comas(const std::string& lista) {
    std::vector<std::string> partes;
    for (std::size_t i = 0; i <= lista.size();) {
        const std::size_t coma = std::min(lista.find(',', i), lista.size());
        // An extension may be written with its dot.
        const std::size_t desde = i < coma && lista[i] == '.' ? i + 1 : i;
        if (coma > desde) {
            partes.push_back(lista.substr(desde, coma - desde));
        }
        i = coma + 1;
    }
    return partes;
}

// Adds the rules of the exclude file `ruta`, one a line. Returns 0, or the
// error number when it cannot be read.
int lee_exclusiones(const char* ruta, reglas_exclusion& reglas) {
    const archivo fichero = abre_origen(ruta);
    std::string texto;
    const int error = fichero ? lee_entero(fichero.get(), texto) : errno;
    if (error == 0) {
        reglas.anade_lineas(texto);
    }
    return error;
}

// The option just read as `letra` as the user wrote it: its long name when
// `indice` says it was given so, else its letter.
std::string opcion_escrita(const option* largas, int indice, int letra) {
    return indice >= 0 ? std::string("--") + largas[indice].name
                       : std::string("-") + static_cast<char>(letra);
}

// The option getopt_long refused (`letra` '?' or ':'), as the user wrote it.
std::string opcion_rechazada(const option* largas, char** argv, int letra) {
    const std::string anterior = optind > 0 ? argv[optind - 1] : "";
    if (anterior.rfind("--", 0) == 0) {
        // The word just passed, when it is the option refused: one unknown,
        // or one known (perhaps shortened) given a value it does not take.
        const std::string nombre = anterior.substr(0, anterior.find('='));
        bool es_esa = optopt == 0 || letra == ':';
        for (const option* o = largas; o->name != nullptr && !es_esa; ++o) {
            es_esa = o->val == optopt &&
                     std::strncmp(o->name, nombre.c_str() + 2, nombre.size() - 2) == 0;
        }
        if (es_esa) {
            return nombre;
        }
    }
    return std::string("-") + static_cast<char>(optopt);
}

// Reads the command line into `o`. Returns false, with what is wrong in
// `mal`, when it is not right.
bool lee_opciones(int argc, char** argv, opciones& o, std::string& mal) {
    static const option largas[] = {{"extensiones", required_argument, nullptr, 'e'},
                                    {"excluye", required_argument, nullptr, 'x'},
                                    {"solo-php", no_argument, nullptr, 's'},
                                    {"sin-comprobar", no_argument, nullptr, 'c'},
                                    {"hilos", required_argument, nullptr, 'j'},
                                    {"simula", no_argument, nullptr, 'n'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {"informe", required_argument, nullptr, 'I'},
                                    {"estricto", no_argument, nullptr, 'E'},
                                    {"modo", required_argument, nullptr, 'M'},
                                    {"excluye-desde", required_argument, nullptr, 'X'},
                                    {"tiempos", no_argument, nullptr, 'T'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"aviso", required_argument, nullptr, 'A'},
                                    {"sin-compactar", required_argument, nullptr, 'K'},
                                    {"detalla", no_argument, nullptr, 'v'},
                                    {"suma", no_argument, nullptr, 'S'},
                                    {"borra", no_argument, nullptr, 'B'},
                                    {"borra-excluidos", no_argument, nullptr, 'D'},
                                    {nullptr, 0, nullptr, 0}};
    o.que.extensiones = {"php"};
    opterr = 0;
    int indice = -1;
    for (int letra; (letra = getopt_long(argc, argv, ":e:x:scj:nhv", largas, &indice)) != -1;
         indice = -1) {
        const auto rechaza_valor = [&](const std::string& espera) {
            mal = opcion_escrita(largas, indice, letra) + ": " + espera;
            return false;
        };
        switch (letra) {
            case 'e':
                o.que.extensiones = separa_comas(optarg);
                if (o.que.extensiones.empty()) {
                    return rechaza_valor("se espera una lista de extensiones");
                }
                break;
            case 'x':
                o.que.excluidos.anade(optarg);
                break;
            case 's':
                o.que.solo_php = true;
                break;
            case 'K':
                o.que.sin_compactar.anade(optarg);
                o.sin_compactar.emplace_back(optarg);
                break;
            case 'c':
                o.trabajo.comprueba = false;
                break;
            case 'j': {
                char* fin = nullptr;
                const unsigned long hilos = std::strtoul(optarg, &fin, 10);
                if (*optarg == '\0' || *fin != '\0' || hilos < 1 || hilos > 256) {
                    return rechaza_valor("se espera un numero de 1 a 256");
                }
                o.hilos = static_cast<unsigned>(hilos);
                break;
            }
            case 'V':
                o.version = true;
                break;
            case 'h':
                o.ayuda = true;
                break;
            case 'I':
                if (std::strcmp(optarg, "json") != 0 && std::strcmp(optarg, "texto") != 0) {
                    return rechaza_valor("se espera texto o json");
                }
                o.informe.json = std::strcmp(optarg, "json") == 0;
                break;
            case 'E':
                o.informe.estricto = true;
                break;
            case 'v':
                o.informe.detalla = true;
                break;
            case 'T':
                o.tiempos = true;
                break;
            case 'X':
                if (const int error = lee_exclusiones(optarg, o.que.excluidos); error != 0) {
                    return rechaza_valor("imposible leer " + std::string(optarg) + ": " +
                                         describe_error(error));
                }
                break;
            case 'M':
                if (std::strcmp(optarg, "kexo") != 0 && std::strcmp(optarg, "php") != 0) {
                    return rechaza_valor("se espera kexo o php");
                }
                o.trabajo.modo =
                    std::strcmp(optarg, "php") == 0 ? modo_reglas::php : modo_reglas::kexo;
                break;
            case 'n':
                o.trabajo.simula = true;
                break;
            case 'S':
                o.trabajo.suma = true;
                break;
            case 'B':
                o.borra = true;
                break;
            case 'D':
                o.borra_excluidos = true;
                break;
            case 'A':
                if (const int error = lee_aviso(optarg, o.trabajo.scopy); error != 0) {
                    return rechaza_valor("imposible leer " + std::string(optarg) + ": " +
                                         (error == kAvisoNoRegular ? "no es un fichero regular"
                                                                   : describe_error(error)));
                }
                o.aviso_dado = true;
                break;
            case ':':
                mal = opcion_rechazada(largas, argv, letra) + ": falta su valor";
                return false;
            default:
                mal = opcion_rechazada(largas, argv, letra);
                // A long option known but given a value it does not take.
                mal += mal.rfind("--", 0) == 0 && optopt != 0 ? ": no admite valor"
                                                              : ": opcion desconocida";
                return false;
        }
    }
    if (o.version || o.ayuda) {
        return true;
    }
    if (argc - optind != 2) {
        mal = argc - optind == 0   ? "faltan <origen> y <destino>"
              : argc - optind == 1 ? "falta <destino>"
                                   : std::string("sobra ") + argv[optind + 2];
        return false;
    }
    if (o.borra_excluidos && !o.borra) {
        mal = "--borra-excluidos: solo con --borra";
        return false;
    }
    o.origen = argv[optind];
    o.destino = argv[optind + 1];
    if (o.origen.empty() || o.destino.empty()) {
        mal = o.origen.empty() ? "<origen> vacio" : "<destino> vacio";
        return false;
    }
    return true;
}

// What of `o` changes a file's output, for the key kept in each file's record.
opciones_salida salida_de(const opciones& o) {
    opciones_salida salida;
    salida.version = KEXO_VERSION;
    salida.modo = o.trabajo.modo == modo_reglas::php ? "php" : "kexo";
    salida.comprueba = o.trabajo.comprueba;
    salida.extensiones = o.que.extensiones;
    salida.aviso = o.trabajo.scopy;
    salida.sin_compactar = o.sin_compactar;
    return salida;
}

// The threads that the descriptors allow: each holds a few open at once.
unsigned hilos_posibles(unsigned pedidos) {
    constexpr std::uint64_t kPorHilo = 6;  // two folders, a source, a temporary file, and spare
    constexpr std::uint64_t kComunes = 8;  // standard streams, both roots, the walk
    const std::uint64_t permitidos = descriptores_permitidos();
    const std::uint64_t caben =
        permitidos > kComunes + kPorHilo ? (permitidos - kComunes) / kPorHilo : 1;
    return static_cast<unsigned>(std::min<std::uint64_t>(pedidos, caben));
}

constexpr const char* kSolapan = "Origen y destino se solapan: ninguno puede estar dentro del otro";
constexpr const char* kDestinoDentro =
    "Origen y destino se solapan: un destino dentro del origen ha de quedar fuera (-x)";

// True when the notice cannot end the line comment that carries it early,
// which would turn its rest into code.
bool aviso_seguro(const std::string& scopy) {
    return scopy.find("?>") == std::string::npos && scopy.find('\r') == std::string::npos;
}

// Runs `trabajo` on the entries `orden[k]` for which `toca` holds, on
// `hilos` threads, taken in that order.
template <typename Toca, typename Trabajo>
void reparte(const std::vector<std::size_t>& orden, unsigned hilos, progreso& avance, Toca toca,
             Trabajo trabajo) {
    reparte_tareas(
        orden.size(), hilos,
        [&](std::size_t k, unsigned hilo) {
            if (toca(orden[k])) {
                trabajo(orden[k], hilo);
            }
        },
        [&avance](std::size_t) { avance.muestra(); });
}

// Says why the roots could not be used, as `como` found. Returns the exit status.
int rechaza(apertura_raices como, const opciones& o, int error) {
    if (como == apertura_raices::sin_origen) {
        std::printf("Imposible abrir carpeta origen %s: %s\n", o.origen.c_str(),
                    describe_error(error).c_str());
    } else if (como == apertura_raices::sin_destino) {
        std::printf("Imposible crear carpeta destino %s: %s\n", o.destino.c_str(),
                    describe_error(error).c_str());
    } else {
        std::puts(kSolapan);
    }
    return kFallo;
}

// How far the folders are made: every folder whose entry's index is below
// hasta() exists, or failed to. One thread makes them; the others wait.
class carpetas_en_curso {
   public:
    // Every folder below `indice` is made.
    void hasta(std::size_t indice) {
        {
            const std::lock_guard<std::mutex> aviso(cerrojo_);
            hasta_.store(indice, std::memory_order_release);
        }
        hechas_.notify_all();
    }

    // Returns once the folder of entry `indice` is made (kNinguna: the root,
    // always there).
    void espera(std::size_t indice) {
        if (indice == kNinguna || hasta_.load(std::memory_order_acquire) > indice) {
            return;
        }
        std::unique_lock<std::mutex> hasta_que(cerrojo_);
        hechas_.wait(hasta_que, [&] { return hasta_.load(std::memory_order_acquire) > indice; });
    }

   private:
    std::atomic<std::size_t> hasta_{0};
    std::mutex cerrojo_;
    std::condition_variable hechas_;
};

// A thread waited for when its owner ends, an exception's way included: a
// std::thread still running when destroyed ends the process.
class hilo_esperado {
   public:
    hilo_esperado() = default;
    hilo_esperado(const hilo_esperado&) = delete;
    hilo_esperado& operator=(const hilo_esperado&) = delete;
    ~hilo_esperado() { espera(); }

    template <typename Trabajo>
    void lanza(Trabajo trabajo) {
        hilo_ = std::thread(std::move(trabajo));
    }
    void espera() {
        if (hilo_.joinable()) {
            hilo_.join();
        }
    }

   private:
    std::thread hilo_;
};

// Does the work on every entry of `obra`: folders first, in path order, so
// that each exists before what it holds; each file once, then its other names,
// linked to it; a folder's attributes last, since writing in it changes its
// times: by the worker that finishes the last entry it holds, its subfolders
// included. With `borra` (not empty), what the source no longer has is
// removed once the folders are made, before anything is written. With
// `tiempos`, adds there where each thread's time went.
std::vector<informe_trabajo> refleja(espejo& obra, unsigned hilos_pedidos,
                                     const std::function<void()>& borra, tiempos_fases* tiempos) {
    const std::vector<entrada>& entradas = obra.entradas;
    std::vector<informe_trabajo> informes(entradas.size());
    // The folders are made on a thread of their own, in path order, while the
    // workers write in those made already; all before, when something is to
    // be removed first.
    carpetas_en_curso hechas;
    const auto crea_carpetas = [&] {
        const medida creando(tiempos, fase::carpetas);
        taller creando_en;
        std::size_t i = 0;
        try {
            for (; i < entradas.size(); ++i) {
                if (entradas[i].tipo == tipo_entrada::carpeta) {
                    informes[i] = crea_carpeta(obra, i, creando_en);
                    hechas.hasta(i + 1);
                }
            }
        } catch (...) {
            // Nothing escapes the thread: the folders not made are failures,
            // and so is what they hold.
            for (; i < entradas.size(); ++i) {
                if (entradas[i].tipo == tipo_entrada::carpeta) {
                    informes[i].resultado = resultado_trabajo::fallido;
                    informes[i].error = EIO;
                }
            }
        }
        hechas.hasta(entradas.size());
    };
    hilo_esperado creador;
    if (borra) {
        crea_carpetas();
        borra();
    } else {
        try {
            creador.lanza(crea_carpetas);
        } catch (const std::system_error&) {
            crea_carpetas();  // no thread to be had
        }
    }
    const unsigned hilos = hilos_posibles(hilos_pedidos);
    // Each folder opened once for all the workers in it, held no longer than they are.
    carpetas_compartidas de_origen;
    carpetas_compartidas de_destino;
    std::vector<taller> talleres(hilos);
    for (taller& banco : talleres) {
        banco.origen.reserva = &de_origen;
        banco.destino.reserva = &de_destino;
    }
    std::vector<tiempos_fases> de_cada_hilo(tiempos != nullptr ? hilos : 0);
    for (std::size_t h = 0; h < de_cada_hilo.size(); ++h) {
        talleres[h].tiempos = &de_cada_hilo[h];
    }
    // The entries each folder holds that are still to be done.
    const std::unique_ptr<std::atomic<std::size_t>[]> pendientes(
        new std::atomic<std::size_t>[entradas.size()]);
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        pendientes[i].store(0, std::memory_order_relaxed);
    }
    for (const entrada& e : entradas) {
        if (e.padre != kNinguna) {
            pendientes[e.padre].fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Told apart before any work: a folder's count reaches 0 as it is finished too.
    std::vector<bool> vacia(entradas.size());
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        vacia[i] = entradas[i].tipo == tipo_entrada::carpeta &&
                   pendientes[i].load(std::memory_order_relaxed) == 0;
    }
    // The folder `carpeta` has nothing left to do in it: its attributes, then
    // its parent's, if it was the last that parent waited for. The root's are
    // set by the caller.
    const auto remata = [&](std::size_t carpeta, taller& banco) {
        for (std::size_t i = carpeta; i != kNinguna;) {
            if (!obra.opciones.simula && informes[i].resultado != resultado_trabajo::fallido) {
                const medida rematando(banco.tiempos, fase::atributos);
                informes[i] = remata_carpeta(obra, i, banco);
            }
            i = entradas[i].padre;
            if (i != kNinguna && pendientes[i].fetch_sub(1, std::memory_order_acq_rel) != 1) {
                return;
            }
        }
    };
    {
        const auto ficheros = static_cast<std::size_t>(
            std::count_if(entradas.begin(), entradas.end(),
                          [](const entrada& e) { return e.tipo != tipo_entrada::carpeta; }));
        progreso avance(ficheros, isatty(STDERR_FILENO) != 0);
        const auto hace = [&](std::size_t i, unsigned hilo) {
            taller& banco = talleres[hilo];
            // The folder it is, or the one it is in, made first.
            hechas.espera(entradas[i].tipo == tipo_entrada::carpeta ? i : entradas[i].padre);
            if (vacia[i]) {
                remata(i, banco);
                return;
            }
            informes[i] = entradas[i].principal == kNinguna
                              ? procesa_entrada(obra, i, banco)
                              : enlaza_entrada(obra, i, informes[entradas[i].principal], banco);
            avance.anota(informes[i].antes);
            const std::size_t padre = entradas[i].padre;
            if (padre != kNinguna &&
                pendientes[padre].fetch_sub(1, std::memory_order_acq_rel) == 1) {
                remata(padre, banco);
            }
        };
        // Folder by folder: the entries of one folder are taken one after
        // another, so that each thread opens that folder once for all of them
        // rather than again after each subfolder's.
        std::vector<std::size_t> orden(entradas.size());
        std::iota(orden.begin(), orden.end(), std::size_t{0});
        std::stable_sort(orden.begin(), orden.end(), [&](std::size_t a, std::size_t b) {
            return entradas[a].padre + 1 < entradas[b].padre + 1;  // the root's (kNinguna) first
        });
        reparte(
            orden, hilos, avance,
            [&](std::size_t i) {
                return vacia[i] || (entradas[i].tipo != tipo_entrada::carpeta &&
                                    entradas[i].principal == kNinguna);
            },
            hace);
        reparte(
            orden, hilos, avance, [&](std::size_t i) { return entradas[i].principal != kNinguna; },
            hace);
    }
    creador.espera();  // its time counted before the sum is read
    talleres.clear();  // their folders closed
    for (const tiempos_fases& del_hilo : de_cada_hilo) {
        tiempos->suma(del_hilo);
    }
    return informes;
}

int ejecuta(int argc, char** argv) {
    opciones o;
    if (std::string mal; !lee_opciones(argc, argv, o, mal)) {
        std::printf("kexo-arbol: %s\n", mal.c_str());
        std::fputs(kUso, stdout);
        return kFallo;
    }
    if (o.ayuda) {
        std::fputs(kUso, stdout);
        return 0;
    }
    if (!elige_via(o.trabajo.via)) {
        return kFallo;
    }
    if (o.version) {
        imprime_version(o.trabajo.via);
        return 0;
    }
    raices r;
    int error = 0;
    if (const apertura_raices como = abre_raices(o.origen, o.destino, r, error);
        como != apertura_raices::bien) {
        return rechaza(como, o, error);
    }
    if (!o.aviso_dado) {
        o.trabajo.scopy = lee_copyright(lee_entorno("PHPRC"));
    }
    o.trabajo.clave = clave_de(salida_de(o));
    const bool aviso_valido = o.trabajo.modo == modo_reglas::php
                                  ? aviso_cabe_en_comentario(o.trabajo.scopy)
                                  : aviso_seguro(o.trabajo.scopy);
    if (o.trabajo.comprueba && !aviso_valido) {
        std::puts("Aviso no valido: su texto cerraria el comentario que lo lleva");
        return kFallo;
    }
    const auto inicio = std::chrono::steady_clock::now();
    tiempos_fases tiempos;
    tiempos_fases* const midiendo = o.tiempos ? &tiempos : nullptr;
    medida recorriendo(midiendo, fase::recorrido);
    // A folder of the source that is the destination or holds it ends the walk,
    // unless the rules leave it out.
    destino_en_origen dentro;
    dentro.dentro = r.dentro_del_origen;
    dentro.hondura = r.hondura;
    dentro.faltan = r.faltan;
    recorrido hallado = recorre(r.origen, o.que, r.sobre_destino, dentro, hilos_posibles(o.hilos));
    recorriendo.termina();
    if (hallado.solapa) {
        if (r.dentro_del_origen) {
            std::puts(kDestinoDentro);
            return kFallo;
        }
        return rechaza(apertura_raices::solapan, o, 0);
    }
    for (const std::string& patron : o.que.excluidos.sin_coincidencias()) {
        std::fprintf(stderr, "Aviso: el patron %s no deja fuera nada\n", patron.c_str());
    }
    for (const std::string& patron : o.que.sin_compactar.sin_coincidencias()) {
        std::fprintf(stderr, "Aviso: el patron %s no deja sin compactar nada\n", patron.c_str());
    }
    bool destino_nuevo = !r.destino_existe;
    if (!o.trabajo.simula) {
        if (const apertura_raices como = crea_destino(o.destino, r, error);
            como != apertura_raices::bien) {
            return rechaza(como, o, error);
        }
        // New only when still missing as it was made: one that came to be
        // during the walk may hold a run's files.
        destino_nuevo = destino_nuevo && !r.faltan.empty();
        // A root made read-only by a run before: writable again until its bits are set back.
        deja_escribir_en(r.destino);
        borra_temporales_abandonados(r.destino);
    }
    espejo obra(r.origen, r.destino, hallado.entradas, o.trabajo, r.sobre_origen.front());
    obra.hay_destino = !o.trabajo.simula || r.destino_existe;
    obra.destino_nuevo = destino_nuevo;
    std::vector<borrado> borrados;
    const auto borra = [&] {
        // A folder of the source not read whole would lose in the destination what it still has.
        if (!hallado.fallos.empty()) {
            std::fputs("Aviso: no se borra nada, el origen no se pudo leer entero\n", stderr);
            return;
        }
        borrados = borra_sobrantes(obra, o.que, o.borra_excluidos);
    };
    const std::vector<informe_trabajo> informes =
        refleja(obra, o.hilos, o.borra ? std::function<void()>(borra) : nullptr, midiendo);
    // The root's attributes last, as every other folder's, once all it holds is written.
    if (!o.trabajo.simula) {
        if (const int fallo = copia_atributos_carpeta(r.origen, r.destino); fallo != 0) {
            hallado.fallos.push_back({".", fallo, false, true});
        }
    }
    const int estado = informa(hallado.entradas, informes, hallado.fallos, borrados, o.informe);
    if (midiendo != nullptr) {
        informa_tiempos(tiempos, std::chrono::steady_clock::now() - inicio, hilos_posibles(o.hilos),
                        o.informe.json);
    }
    return estado;
}

}  // namespace
}  // namespace kexo

int main(int argc, char** argv) {
    try {
        return kexo::ejecuta(argc, argv);
    } catch (const std::bad_alloc&) {
        std::puts("Memoria insuficiente");
        return kexo::kFallo;
    }
}
