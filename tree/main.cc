// kexo-arbol: compacts the PHP files of a whole tree into a mirror of it,
// copying the other files, and leaving as they are the PHP files whose
// program the compaction would change.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/via.h"
#include "notice/aviso.h"
#include "tree/cola.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace fs = std::filesystem;

namespace kexo {
namespace {

constexpr const char* kUso =
    "kexo-arbol. ** Error de parametros **\n"
    "Uso:    kexo-arbol [opciones] <origen> <destino>\n"
    "        <origen>    Carpeta origen.\n"
    "        <destino>   Carpeta destino, reflejo de la de origen.\n"
    "  -e, --extensiones=LISTA  extensiones de los ficheros PHP, separadas por comas (php)\n"
    "  -x, --excluye=PATRON     deja fuera las rutas que casan con PATRON (repetible)\n"
    "  -s, --solo-php           no copia los ficheros que no son PHP\n"
    "  -c, --sin-comprobar      compacta todo PHP, aunque cambie su programa\n"
    "  -j, --hilos=N            N hilos de trabajo (uno por nucleo)\n"
    "  -n, --simula             no escribe nada; da el mismo informe\n\n";

constexpr int kFallo = 1;

struct opciones {
    filtro que;
    opciones_trabajo trabajo;
    unsigned hilos = std::max(1u, std::thread::hardware_concurrency());
    fs::path origen;
    fs::path destino;
};

std::vector<std::string> separa_comas(const std::string& lista) {
    std::vector<std::string> partes;
    for (std::size_t i = 0; i <= lista.size();) {
        const std::size_t coma = std::min(lista.find(',', i), lista.size());
        if (coma > i) {
            partes.push_back(lista.substr(i, coma - i));
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
                                    {nullptr, 0, nullptr, 0}};
    o.que.extensiones = {"php"};
    opterr = 0;
    for (int letra; (letra = getopt_long(argc, argv, "e:x:scj:n", largas, nullptr)) != -1;) {
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
            case 'n':
                o.trabajo.simula = true;
                break;
            default:
                return false;
        }
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

// A notice that would end its line comment early, and so turn its rest into code.
bool aviso_seguro(const std::string& scopy) {
    return scopy.find("?>") == std::string::npos && scopy.find('\r') == std::string::npos;
}

// Progress on standard error, when it is a terminal: files done, MB, rate.
class progreso {
   public:
    progreso(std::size_t total, const std::vector<informe_trabajo>& informes)
        : total_(total), informes_(informes), visible_(isatty(STDERR_FILENO) != 0) {}

    void muestra(std::size_t hechos) {
        if (!visible_) {
            return;
        }
        std::uint64_t bytes = 0;
        for (const informe_trabajo& informe : informes_) {
            bytes += informe.antes;
        }
        const double segundos =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio_).count();
        const double mb = static_cast<double>(bytes) / 1e6;
        std::fprintf(stderr, "\r%zu/%zu ficheros, %.1f MB, %.1f MB/s ", hechos, total_, mb,
                     segundos > 0 ? mb / segundos : 0.0);
    }

    ~progreso() {
        if (visible_) {
            std::fputs("\r\033[K", stderr);
        }
    }

   private:
    std::size_t total_;
    const std::vector<informe_trabajo>& informes_;
    bool visible_;
    std::chrono::steady_clock::time_point inicio_ = std::chrono::steady_clock::now();
};

// The report, in path order, and the summary. Returns the exit status.
int informa(const std::vector<entrada>& entradas, const std::vector<informe_trabajo>& informes,
            const std::vector<fallo_recorrido>& fallos_recorrido) {
    std::size_t cuentas[6] = {0, 0, 0, 0, 0, 0};
    std::uint64_t antes = 0;
    std::uint64_t despues = 0;
    for (const fallo_recorrido& f : fallos_recorrido) {
        std::printf("Imposible leer carpeta %s (%d)\n", f.ruta.c_str(), f.error);
    }
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        const informe_trabajo& informe = informes[i];
        const char* ruta = entradas[i].ruta.c_str();
        ++cuentas[static_cast<int>(informe.resultado)];
        if (entradas[i].tipo == tipo_entrada::php) {
            antes += informe.antes;
            despues += informe.despues;
        }
        if (informe.resultado == resultado_trabajo::sin_compactar) {
            std::printf("Sin compactar %s: cambiaria el programa en la linea %lld\n", ruta,
                        static_cast<long long>(informe.linea));
        } else if (informe.resultado == resultado_trabajo::omitido) {
            std::printf("Omitido %s: no es un fichero regular\n", ruta);
        } else if (informe.resultado == resultado_trabajo::fallido) {
            std::printf(
                informe.al_leer ? "Imposible leer %s (%d)\n" : "Imposible escribir %s (%d)\n", ruta,
                informe.error);
        }
    }
    const std::size_t fallidos =
        cuentas[static_cast<int>(resultado_trabajo::fallido)] + fallos_recorrido.size();
    std::printf(
        "Compactados %zu, sin compactar %zu, copiados %zu, fallidos %zu; "
        "PHP %llu -> %llu bytes (%.1f%% menos)\n",
        cuentas[static_cast<int>(resultado_trabajo::compactado)],
        cuentas[static_cast<int>(resultado_trabajo::sin_compactar)],
        cuentas[static_cast<int>(resultado_trabajo::copiado)], fallidos,
        static_cast<unsigned long long>(antes), static_cast<unsigned long long>(despues),
        antes > 0 ? 100.0 * static_cast<double>(antes - std::min(antes, despues)) /
                        static_cast<double>(antes)
                  : 0.0);
    return fallidos > 0 ? kFallo : 0;
}

int ejecuta(int argc, char** argv) {
    opciones o;
    if (!lee_opciones(argc, argv, o)) {
        std::fputs(kUso, stdout);
        return kFallo;
    }
    if (!elige_ruta(o.trabajo.ruta)) {
        return kFallo;
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
            informes[i] = trabaja(o.origen, o.destino, entradas[i], o.trabajo, talleres[0]);
        }
    }
    {
        progreso avance(entradas.size(), informes);
        reparte(
            entradas.size(), o.hilos,
            [&](std::size_t i, unsigned hilo) {
                if (entradas[i].tipo != tipo_entrada::carpeta) {
                    informes[i] =
                        trabaja(o.origen, o.destino, entradas[i], o.trabajo, talleres[hilo]);
                }
            },
            [&](std::size_t hechas) { avance.muestra(hechas); });
    }
    // A folder's times, last, since writing in it changes them.
    for (std::size_t i = entradas.size(); i-- > 0;) {
        if (entradas[i].tipo == tipo_entrada::carpeta && !o.trabajo.simula &&
            informes[i].resultado != resultado_trabajo::fallido) {
            informes[i] = remata_carpeta(o.origen, o.destino, entradas[i]);
        }
    }
    return informa(entradas, informes, fallos);
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
