// kexo-arbol: compacts the PHP files of a whole tree into a mirror of it,
// copying the other files, and leaving as they are the PHP files whose
// program the compaction would change.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "compaction/escanea.h"
#include "driver/via.h"
#include "notice/aviso.h"
#include "tree/cola.h"
#include "tree/informe.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace fs = std::filesystem;

namespace kexo {
namespace {

constexpr const char* kErrorDeParametros = "kexo-arbol. ** Error de parametros **\n";
constexpr const char* kUso =
    "Uso:    kexo-arbol [opciones] <origen> <destino>\n"
    "        <origen>    Carpeta origen.\n"
    "        <destino>   Carpeta destino, reflejo de la de origen.\n"
    "  -e, --extensiones=LISTA  extensiones de los ficheros PHP, separadas por comas (php)\n"
    "  -x, --excluye=PATRON     deja fuera las rutas que casan con PATRON (repetible)\n"
    "  -s, --solo-php           no copia los ficheros que no son PHP\n"
    "  -c, --sin-comprobar      compacta todo PHP, aunque cambie su programa\n"
    "  -j, --hilos=N            N hilos de trabajo (uno por nucleo)\n"
    "  -n, --simula             no escribe nada; da el mismo informe\n"
    "      --informe=FORMATO    texto (el de siempre) o json: un objeto JSON por linea\n"
    "      --estricto           sale con 3 si algun fichero PHP queda sin compactar\n"
    "  -h, --help               da este texto\n"
    "      --version            da la version y las vias de escaneo de este procesador\n\n";

constexpr int kFallo = 1;

// The version, the ways of scanning this processor runs, best first, and
// the one this run uses.
void imprime_version(ruta_escaneo elegida) {
    std::printf("kexo-arbol %s\nVias de escaneo:", KEXO_VERSION);
    for (const ruta_escaneo ruta :
         {ruta_escaneo::bloques_avx512, ruta_escaneo::bloques_avx2, ruta_escaneo::por_paradas}) {
        if (admite(ruta)) {
            std::printf(" %s", nombre_de(ruta));
        }
    }
    std::printf("\nElegida: %s\n", nombre_de(elegida));
}

struct opciones {
    filtro que;
    opciones_trabajo trabajo;
    unsigned hilos = std::max(1u, std::thread::hardware_concurrency());
    fs::path origen;
    fs::path destino;
    opciones_informe informe;
    bool version = false;  // print the version, and nothing else
    bool ayuda = false;    // print the usage, and nothing else
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

// Reads the command line into `o`. Returns false when it is not right.
bool lee_opciones(int argc, char** argv, opciones& o) {
    static const option largas[] = {{"extensiones", required_argument, nullptr, 'e'},
                                    {"excluye", required_argument, nullptr, 'x'},
                                    {"solo-php", no_argument, nullptr, 's'},
                                    {"sin-comprobar", no_argument, nullptr, 'c'},
                                    {"hilos", required_argument, nullptr, 'j'},
                                    {"simula", no_argument, nullptr, 'n'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {"informe", required_argument, nullptr, 'I'},
                                    {"estricto", no_argument, nullptr, 'E'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
    o.que.extensiones = {"php"};
    opterr = 0;
    for (int letra; (letra = getopt_long(argc, argv, "e:x:scj:nh", largas, nullptr)) != -1;) {
        switch (letra) {
            case 'e':
                o.que.extensiones = separa_comas(optarg);
                break;
            case 'x':
                o.que.excluidos.emplace_back(optarg);
                break;
            case 's':
                o.que.solo_php = true;
                break;
            case 'c':
                o.trabajo.comprueba = false;
                break;
            case 'j': {
                char* fin = nullptr;
                const unsigned long hilos = std::strtoul(optarg, &fin, 10);
                if (*optarg == '\0' || *fin != '\0' || hilos < 1 || hilos > 256) {
                    return false;
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
                    return false;
                }
                o.informe.json = std::strcmp(optarg, "json") == 0;
                break;
            case 'E':
                o.informe.estricto = true;
                break;
            case 'n':
                o.trabajo.simula = true;
                break;
            default:
                return false;
        }
    }
    if (o.version || o.ayuda) {
        return true;
    }
    if (argc - optind != 2 || o.que.extensiones.empty()) {
        return false;
    }
    o.origen = argv[optind];
    o.destino = argv[optind + 1];
    return true;
}

// True when one of the folders lies in the other, or both are one.
bool se_solapan(const fs::path& a, const fs::path& b) {
    std::error_code error;
    const fs::path ca = fs::weakly_canonical(fs::absolute(a), error);
    const fs::path cb = fs::weakly_canonical(fs::absolute(b), error);
    const auto dentro = [](const fs::path& de, const fs::path& en) {
        auto i = en.begin();
        for (const fs::path& parte : de) {
            if (parte.empty()) {
                continue;  // the empty name after a final separator
            }
            if (i == en.end() || *i != parte) {
                return false;
            }
            ++i;
        }
        return true;
    };
    return dentro(ca, cb) || dentro(cb, ca);
}

// True when the notice cannot end the line comment that carries it early,
// which would turn its rest into code.
bool aviso_seguro(const std::string& scopy) {
    return scopy.find("?>") == std::string::npos && scopy.find('\r') == std::string::npos;
}

int ejecuta(int argc, char** argv) {
    opciones o;
    if (!lee_opciones(argc, argv, o)) {
        std::fputs(kErrorDeParametros, stdout);
        std::fputs(kUso, stdout);
        return kFallo;
    }
    if (o.ayuda) {
        std::fputs(kUso, stdout);
        return 0;
    }
    if (!elige_ruta(o.trabajo.ruta)) {
        return kFallo;
    }
    if (o.version) {
        imprime_version(o.trabajo.ruta);
        return 0;
    }
    std::error_code error;
    if (!fs::is_directory(o.origen, error)) {
        std::printf("Imposible abrir carpeta origen %s (%d)\n", o.origen.string().c_str(),
                    error ? error.value() : ENOTDIR);
        return kFallo;
    }
    if (se_solapan(o.origen, o.destino)) {
        std::puts("Origen y destino se solapan: ninguno puede estar dentro del otro");
        return kFallo;
    }
    o.trabajo.scopy = lee_copyright(lee_entorno("PHPRC"));
    if (o.trabajo.comprueba && !aviso_seguro(o.trabajo.scopy)) {
        std::puts("Aviso no valido: su texto cerraria el comentario que lo lleva");
        return kFallo;
    }
    std::vector<fallo_recorrido> fallos;
    const std::vector<entrada> entradas = recorre(o.origen, o.que, fallos);
    if (!o.trabajo.simula && !fs::create_directories(o.destino, error) && error) {
        std::printf("Imposible crear carpeta destino %s (%d)\n", o.destino.string().c_str(),
                    error.value());
        return kFallo;
    }
    std::vector<informe_trabajo> informes(entradas.size());
    std::vector<taller> talleres(o.hilos);
    // Folders first, in path order, so that each exists before what it holds.
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        if (entradas[i].tipo == tipo_entrada::carpeta) {
            informes[i] = procesa_entrada(o.origen, o.destino, entradas[i], o.trabajo, talleres[0]);
        }
    }
    {
        const auto ficheros = static_cast<std::size_t>(
            std::count_if(entradas.begin(), entradas.end(),
                          [](const entrada& e) { return e.tipo != tipo_entrada::carpeta; }));
        progreso avance(ficheros, isatty(STDERR_FILENO) != 0);
        reparte_tareas(
            entradas.size(), o.hilos,
            [&](std::size_t i, unsigned hilo) {
                if (entradas[i].tipo != tipo_entrada::carpeta) {
                    informes[i] = procesa_entrada(o.origen, o.destino, entradas[i], o.trabajo,
                                                  talleres[hilo]);
                    avance.anota(informes[i].antes);
                }
            },
            [&avance](std::size_t) { avance.muestra(); });
    }
    // A folder's times, last, since writing in it changes them.
    for (std::size_t i = entradas.size(); i-- > 0;) {
        if (entradas[i].tipo == tipo_entrada::carpeta && !o.trabajo.simula &&
            informes[i].resultado != resultado_trabajo::fallido) {
            informes[i] = remata_carpeta(o.origen, o.destino, entradas[i]);
        }
    }
    return informa(entradas, informes, fallos, o.informe);
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
