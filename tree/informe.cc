#include "tree/informe.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/errores.h"

namespace kexo {

namespace {

// How many entries came to each result the summary names.
struct recuento {
    std::size_t compactados = 0;
    std::size_t por_reglas_de_php = 0;  // of those compacted
    std::size_t sin_compactar = 0;
    std::size_t copiados = 0;
    std::size_t al_dia = 0;
    std::size_t al_dia_sin_compactar = 0;  // of those up to date, PHP files left as they were
    std::size_t borrados = 0;
    std::size_t fallidos = 0;
    std::uint64_t php_antes = 0;    // bytes of the PHP sources
    std::uint64_t php_despues = 0;  // bytes written for them
};

// How the report says each result: its name in JSON, its letter in the
// detailed report, and the summary's count it adds to.
struct dicho_resultado {
    const char* accion;
    char letra;
    std::size_t recuento::*cuenta;  // null: none, or as cuenta() decides
};

// One row a result, in the enum's order.
constexpr dicho_resultado kDichos[] = {
    {"compactado_kexo", 'k', &recuento::compactados},  // compactado
    {"compactado_php", 'p', &recuento::compactados},   // compactado_php
    {"sin_compactar", '=', &recuento::sin_compactar},  // sin_compactar
    {"sin_compactar", '=', &recuento::sin_compactar},  // demasiado_grande
    {"copiado", 'c', &recuento::copiados},             // copiado
    {"hecho", '+', nullptr},                           // hecho
    {"fallido", '!', &recuento::fallidos},             // fallido
    {"cambiado", '~', &recuento::fallidos},            // cambiado
    {"sin_memoria", '!', &recuento::fallidos},         // sin_memoria
    {"omitido", '-', nullptr},                         // omitido
    {"al_dia", '.', nullptr},                          // al_dia
    {"fuera", '!', &recuento::fallidos},               // fuera_del_paquete
};
static_assert(sizeof kDichos / sizeof kDichos[0] ==
                  static_cast<std::size_t>(resultado_trabajo::fuera_del_paquete) + 1,
              "a row for every result");

const dicho_resultado& dicho(resultado_trabajo resultado) {
    return kDichos[static_cast<std::size_t>(resultado)];
}

// What the report calls each result.
const char* accion_de(resultado_trabajo resultado) {
    return dicho(resultado).accion;
}

// What was done to an entry, as the detailed report writes it.
char letra_accion(resultado_trabajo resultado) {
    return dicho(resultado).letra;
}

// True when `informe` is of a PHP file left as it was, written now or before.
bool sin_compactar(const informe_trabajo& informe) {
    const resultado_trabajo hecho =
        informe.resultado == resultado_trabajo::al_dia ? informe.previo : informe.resultado;
    return hecho == resultado_trabajo::sin_compactar ||
           hecho == resultado_trabajo::demasiado_grande;
}

void cuenta(recuento& r, const entrada& que, const informe_trabajo& informe) {
    if (const auto cuenta_de = dicho(informe.resultado).cuenta; cuenta_de != nullptr) {
        ++(r.*cuenta_de);
    }
    if (informe.resultado == resultado_trabajo::compactado_php) {
        ++r.por_reglas_de_php;
    } else if (informe.resultado == resultado_trabajo::al_dia) {
        if (que.tipo == tipo_entrada::php || que.tipo == tipo_entrada::otro) {
            ++r.al_dia;  // files, as the other counts
        }
        if (que.tipo == tipo_entrada::php && sin_compactar(informe)) {
            ++r.al_dia_sin_compactar;
        }
    }
    if (que.tipo == tipo_entrada::php) {
        r.php_antes += informe.antes;
        r.php_despues += informe.despues;
    }
}

// What a PHP file left as it was would have changed, as the report says it
// (`para_json`: as its JSON names it).
const char* motivo_de(motivo_diferencia motivo, bool para_json) {
    switch (motivo) {
        case motivo_diferencia::documentacion:
            return para_json ? "documentacion" : "un comentario de documentacion";
        case motivo_diferencia::linea_magica:
            return para_json ? "linea_magica" : "el valor de __LINE__";
        case motivo_diferencia::linea:
            return para_json ? "linea" : "la linea de una pieza";
        default:
            return para_json ? "programa" : "el programa";
    }
}

// Why a link was left out of an archive without links (`para_json`: as its JSON names it).
const char* por_que_fuera(int error, bool para_json) {
    switch (error) {
        case EXDEV:
            return para_json ? "fuera_del_origen" : "el enlace lleva fuera del origen";
        case EISDIR:
            return para_json ? "carpeta" : "el enlace lleva a una carpeta";
        case ELOOP:
            return para_json ? "bucle" : "demasiados enlaces seguidos";
        case EINVAL:
        case ENAMETOOLONG:
            return para_json ? "nombre" : "el formato no admite su nombre";
        case EEXIST:
            return para_json ? "nombre_repetido" : "otra entrada tiene su nombre";
        case EFBIG:
            return para_json ? "tamano" : "el formato no admite su tamano";
        default:
            return para_json ? "roto" : "el enlace no lleva a nada del origen";
    }
}

// The line for an entry that is not plainly done, if any.
void informa_entrada(const entrada& que, const informe_trabajo& informe) {
    const std::string legible = ruta_legible(que.ruta);
    const char* ruta = legible.c_str();
    // A file left as it was says so on every run, written again or not.
    switch (informe.resultado == resultado_trabajo::al_dia ? informe.previo : informe.resultado) {
        case resultado_trabajo::sin_compactar:
            std::printf("Sin compactar %s: cambiaria %s en la linea %lld\n", ruta,
                        motivo_de(informe.motivo, false), static_cast<long long>(informe.linea));
            break;
        case resultado_trabajo::demasiado_grande:
            std::printf("Sin compactar %s: demasiado grande para comprobarlo\n", ruta);
            break;
        case resultado_trabajo::omitido:
            std::printf("Omitido %s: no es un fichero regular\n", ruta);
            break;
        case resultado_trabajo::cambiado:
            std::printf("Cambiado durante la ejecucion %s\n", ruta);
            break;
        case resultado_trabajo::sin_memoria:
            std::printf("Memoria insuficiente para %s\n", ruta);
            break;
        case resultado_trabajo::fuera_del_paquete:
            std::printf("Fuera del paquete %s: %s\n", ruta, por_que_fuera(informe.error, false));
            break;
        case resultado_trabajo::fallido:
            std::printf(informe.al_leer ? "Imposible leer %s: %s\n" : "Imposible escribir %s: %s\n",
                        ruta, describe_error(informe.error).c_str());
            break;
        default:
            break;
    }
}

// The line for an entry removed from the destination, or that could not be.
void informa_borrado(const borrado& b) {
    if (b.error != 0) {
        std::printf("Imposible borrar %s: %s\n", ruta_legible(b.ruta).c_str(),
                    describe_error(b.error).c_str());
    } else {
        std::printf("Borrado %s\n", ruta_legible(b.ruta).c_str());
    }
}

// The length of the UTF-8 sequence at texto[i], or 0 when none starts there
// (a stray, overlong or surrogate sequence, or one past U+10FFFF).
std::size_t secuencia_utf8(std::string_view texto, std::size_t i) {
    const auto byte = [&texto](std::size_t k) {
        return k < texto.size() ? static_cast<unsigned char>(texto[k]) : 0u;
    };
    const unsigned b0 = byte(i);
    const auto sigue = [&byte, i](std::size_t k) { return (byte(i + k) & 0xC0u) == 0x80u; };
    if (b0 < 0x80) {
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        return sigue(1) ? 2 : 0;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned b1 = byte(i + 1);
        const bool valido = (b0 != 0xE0 || b1 >= 0xA0) && (b0 != 0xED || b1 < 0xA0);
        return valido && sigue(1) && sigue(2) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned b1 = byte(i + 1);
        const bool valido = (b0 != 0xF0 || b1 >= 0x90) && (b0 != 0xF4 || b1 < 0x90);
        return valido && sigue(1) && sigue(2) && sigue(3) ? 4 : 0;
    }
    return 0;
}

bool es_utf8(std::string_view texto) {
    for (std::size_t i = 0; i < texto.size();) {
        const std::size_t n = secuencia_utf8(texto, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string en_base64(std::string_view bytes) {
    static constexpr char kLetras[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string salida;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t grupo = 0;
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        for (std::size_t k = 0; k < 3; ++k) {
            grupo = grupo << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            salida += k <= n ? kLetras[(grupo >> (18 - 6 * k)) & 63u] : '=';
        }
    }
    return salida;
}

// The report's object for a folder the walk could not read.
std::string fallo_json(const fallo_recorrido& f) {
    if (f.cambiado) {
        return "{\"ruta\":" + cadena_json(f.ruta) + ",\"accion\":\"cambiado\"}";
    }
    return "{\"ruta\":" + cadena_json(f.ruta) +
           ",\"accion\":\"fallido\",\"al_leer\":" + (f.al_escribir ? "false" : "true") +
           ",\"error\":" + std::to_string(f.error) + "}";
}

// The report's object for an entry removed from the destination, or not removed.
std::string borrado_json(const borrado& b) {
    if (b.error != 0) {
        return "{\"ruta\":" + cadena_json(b.ruta) +
               ",\"accion\":\"fallido\",\"al_leer\":false,\"error\":" + std::to_string(b.error) +
               "}";
    }
    return "{\"ruta\":" + cadena_json(b.ruta) + ",\"accion\":\"borrado\"}";
}

// The totals' member for the archive written.
std::string paquete_json(const paquete_informado& p) {
    std::string objeto = ",\"paquete\":{\"ruta\":" + cadena_json(p.ruta) +
                         ",\"bytes\":" + std::to_string(p.bytes) +
                         ",\"escrito\":" + (p.escrito ? "true" : "false");
    if (p.error != 0) {
        objeto += ",\"error\":" + std::to_string(p.error);
    }
    return objeto + "}";
}

std::string totales_json(const recuento& r, const paquete_informado* paquete) {
    return "{\"totales\":{\"compactados\":" + std::to_string(r.compactados) +
           ",\"por_reglas_de_php\":" + std::to_string(r.por_reglas_de_php) +
           ",\"sin_compactar\":" + std::to_string(r.sin_compactar) +
           ",\"copiados\":" + std::to_string(r.copiados) +
           ",\"al_dia\":" + std::to_string(r.al_dia) +
           ",\"borrados\":" + std::to_string(r.borrados) +
           ",\"fallidos\":" + std::to_string(r.fallidos) +
           ",\"php_antes\":" + std::to_string(r.php_antes) +
           ",\"php_despues\":" + std::to_string(r.php_despues) +
           (paquete != nullptr ? paquete_json(*paquete) : std::string()) + "}}";
}

// The kind of an entry, as the detailed report writes it.
char letra_tipo(tipo_entrada tipo) {
    switch (tipo) {
        case tipo_entrada::carpeta:
            return 'd';
        case tipo_entrada::enlace:
            return 'L';
        case tipo_entrada::especial:
            return 'S';
        case tipo_entrada::php:
        case tipo_entrada::otro:
            break;
    }
    return 'f';
}

// Prints a line for every entry changed (with `tambien_al_dia`, every entry),
// every folder the walk could not read and every removal, in path order: one
// a path, that of the entry when two have one.
void detalla_entradas(const std::vector<entrada>& entradas,
                      const std::vector<informe_trabajo>& informes,
                      const std::vector<fallo_recorrido>& fallos_recorrido,
                      const std::vector<borrado>& borrados, bool tambien_al_dia) {
    std::vector<std::pair<std::string_view, std::string>> lineas;
    lineas.reserve(entradas.size() + fallos_recorrido.size() + borrados.size());
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        if (tambien_al_dia || informes[i].resultado != resultado_trabajo::al_dia) {
            lineas.emplace_back(entradas[i].ruta, linea_detalle(entradas[i], informes[i]));
        }
    }
    for (const fallo_recorrido& f : fallos_recorrido) {
        lineas.emplace_back(f.ruta, std::string(f.cambiado ? "~d " : "!d ") + ruta_legible(f.ruta));
    }
    for (const borrado& b : borrados) {
        lineas.emplace_back(
            b.ruta, std::string(b.error == 0 ? "*borrado " : "!borrado ") + ruta_legible(b.ruta));
    }
    std::stable_sort(lineas.begin(), lineas.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < lineas.size(); ++i) {
        if (i == 0 || lineas[i].first != lineas[i - 1].first) {
            std::printf("%s\n", lineas[i].second.c_str());
        }
    }
}

// Prints the report as JSON Lines, in path order, then the totals.
void informa_json(const std::vector<entrada>& entradas,
                  const std::vector<informe_trabajo>& informes,
                  const std::vector<fallo_recorrido>& fallos_recorrido,
                  const std::vector<borrado>& borrados, const recuento& r,
                  const paquete_informado* paquete) {
    std::vector<std::pair<std::string_view, std::string>> lineas;
    lineas.reserve(entradas.size() + fallos_recorrido.size());
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        lineas.emplace_back(entradas[i].ruta, objeto_json(entradas[i], informes[i]));
    }
    for (const fallo_recorrido& f : fallos_recorrido) {
        lineas.emplace_back(f.ruta, fallo_json(f));
    }
    for (const borrado& b : borrados) {
        lineas.emplace_back(b.ruta, borrado_json(b));
    }
    std::stable_sort(lineas.begin(), lineas.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& linea : lineas) {
        std::printf("%s\n", linea.second.c_str());
    }
    std::printf("%s\n", totales_json(r, paquete).c_str());
}

// The change in size, as a share of `antes`: a saving, or a growth said as one.
void imprime_ahorro(std::uint64_t antes, std::uint64_t despues) {
    const bool crece = despues > antes;
    const std::uint64_t diferencia = crece ? despues - antes : antes - despues;
    const double parte =
        antes > 0 ? 100.0 * static_cast<double>(diferencia) / static_cast<double>(antes) : 0.0;
    std::printf("(%.1f%% %s)\n", parte, crece ? "mas" : "menos");
}

}  // namespace

progreso::~progreso() {
    if (visible_) {
        std::fputs("\r\033[K", stderr);
    }
}

void progreso::muestra() const {
    if (!visible_) {
        return;
    }
    const double segundos =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio_).count();
    const double mb = static_cast<double>(bytes_.load(std::memory_order_relaxed)) / 1e6;
    std::fprintf(stderr, "\r%zu/%zu ficheros, %.1f MB, %.1f MB/s ",
                 hechos_.load(std::memory_order_relaxed), total_, mb,
                 segundos > 0 ? mb / segundos : 0.0);
}

std::string cadena_json(std::string_view texto) {
    if (!es_utf8(texto)) {
        return "{\"bytes\":\"" + en_base64(texto) + "\"}";
    }
    std::string cadena = "\"";
    for (const char c : texto) {
        if (c == '"' || c == '\\') {
            cadena += '\\';
            cadena += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            cadena += escape;
        } else {
            cadena += c;
        }
    }
    return cadena + "\"";
}

std::string ruta_legible(std::string_view ruta) {
    std::string legible;
    legible.reserve(ruta.size());
    for (std::size_t i = 0; i < ruta.size(); ++i) {
        const auto c = static_cast<unsigned char>(ruta[i]);
        if (c < 0x20 || c == 0x7f || (c == '\\' && i + 1 < ruta.size() && ruta[i + 1] == '#')) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\#%03o", static_cast<unsigned>(c));
            legible += escape;
        } else {
            legible += static_cast<char>(c);
        }
    }
    return legible;
}

std::string linea_detalle(const entrada& que, const informe_trabajo& informe) {
    return std::string{letra_accion(informe.resultado), letra_tipo(que.tipo), ' '} +
           ruta_legible(que.ruta);
}

std::string objeto_json(const entrada& que, const informe_trabajo& informe) {
    std::string objeto = "{\"ruta\":" + cadena_json(que.ruta) + ",\"accion\":\"" +
                         accion_de(informe.resultado) + "\"";
    // Up to date, a PHP file left as it was still says why.
    const resultado_trabajo hecho =
        informe.resultado == resultado_trabajo::al_dia ? informe.previo : informe.resultado;
    if (hecho == resultado_trabajo::sin_compactar ||
        (hecho == resultado_trabajo::compactado_php &&
         informe.motivo != motivo_diferencia::ninguno)) {
        objeto += std::string(",\"motivo\":\"") + motivo_de(informe.motivo, true) +
                  "\",\"linea\":" + std::to_string(informe.linea);
    } else if (hecho == resultado_trabajo::demasiado_grande) {
        objeto += ",\"motivo\":\"tamano\"";
    } else if (hecho == resultado_trabajo::fuera_del_paquete) {
        objeto += std::string(",\"motivo\":\"") + por_que_fuera(informe.error, true) + "\"";
    }
    if (que.tipo == tipo_entrada::php || que.tipo == tipo_entrada::otro) {
        // A file that failed before it was read: its size as the walk saw it.
        const std::uint64_t antes =
            informe.resultado == resultado_trabajo::fallido && informe.antes == 0
                ? static_cast<std::uint64_t>(std::max<std::int64_t>(0, que.visto.tamano))
                : informe.antes;
        objeto += ",\"antes\":" + std::to_string(antes) +
                  ",\"despues\":" + std::to_string(informe.despues);
    }
    if (informe.resultado == resultado_trabajo::fallido) {
        objeto += std::string(",\"al_leer\":") + (informe.al_leer ? "true" : "false") +
                  ",\"error\":" + std::to_string(informe.error);
    }
    return objeto + "}";
}

int informa(const std::vector<entrada>& entradas, const std::vector<informe_trabajo>& informes,
            const std::vector<fallo_recorrido>& fallos_recorrido,
            const std::vector<borrado>& borrados, const opciones_informe& como,
            const paquete_informado* paquete) {
    recuento r;
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        cuenta(r, entradas[i], informes[i]);
    }
    r.fallidos += fallos_recorrido.size();
    for (const borrado& b : borrados) {
        ++(b.error == 0 ? r.borrados : r.fallidos);
    }
    if (como.json) {
        informa_json(entradas, informes, fallos_recorrido, borrados, r, paquete);
    } else {
        if (como.detalla > 0) {
            detalla_entradas(entradas, informes, fallos_recorrido, borrados, como.detalla > 1);
        }
        std::size_t b = 0;  // the removals, in path order among the entries
        for (const fallo_recorrido& f : fallos_recorrido) {
            if (f.cambiado) {
                std::printf("Cambiado durante la ejecucion %s\n", ruta_legible(f.ruta).c_str());
            } else {
                std::printf(f.al_escribir ? "Imposible escribir carpeta %s: %s\n"
                                          : "Imposible leer carpeta %s: %s\n",
                            ruta_legible(f.ruta).c_str(), describe_error(f.error).c_str());
            }
        }
        for (std::size_t i = 0; i <= entradas.size(); ++i) {
            for (; b < borrados.size() &&
                   (i == entradas.size() || borrados[b].ruta < entradas[i].ruta);
                 ++b) {
                // Listed already as *borrado when detailed: once is enough.
                if (como.detalla == 0 || borrados[b].error != 0) {
                    informa_borrado(borrados[b]);
                }
            }
            if (i < entradas.size()) {
                informa_entrada(entradas[i], informes[i]);
            }
        }
        std::printf(
            "Compactados %zu (%zu por las reglas de PHP), sin compactar %zu, copiados %zu, ",
            r.compactados, r.por_reglas_de_php, r.sin_compactar, r.copiados);
        // Shown once there are any: a first run says what it always said.
        if (r.al_dia > 0) {
            std::printf("al dia %zu, ", r.al_dia);
        }
        if (r.borrados > 0) {
            std::printf("borrados %zu, ", r.borrados);
        }
        std::printf("fallidos %zu; PHP %llu -> %llu bytes ", r.fallidos,
                    static_cast<unsigned long long>(r.php_antes),
                    static_cast<unsigned long long>(r.php_despues));
        imprime_ahorro(r.php_antes, r.php_despues);
        if (paquete != nullptr && paquete->escrito) {
            std::printf("Paquete %s: %llu bytes\n", ruta_legible(paquete->ruta).c_str(),
                        static_cast<unsigned long long>(paquete->bytes));
        }
    }
    if (r.fallidos > 0 || (paquete != nullptr && paquete->error != 0)) {
        return kAlgunFallo;
    }
    return como.estricto && r.sin_compactar + r.al_dia_sin_compactar > 0 ? kSinCompactarEstricto
                                                                         : kTodoHecho;
}

void informa_tiempos(const tiempos_fases& tiempos, std::chrono::steady_clock::duration total,
                     unsigned hilos, bool json) {
    static constexpr const char* kNombres[kFases] = {"recorrido",    "carpetas",     "lectura",
                                                     "compactacion", "comprobacion", "escritura",
                                                     "copia",        "atributos",    "renombrado"};
    const double segundos = std::chrono::duration<double>(total).count();
    std::int64_t medido = 0;
    for (const std::int64_t ns : tiempos.ns) {
        medido += ns;
    }
    if (json) {
        std::printf("{\"tiempos\":{\"total\":%.6f,\"hilos\":%u", segundos, hilos);
        for (std::size_t k = 0; k < kFases; ++k) {
            std::printf(",\"%s\":%.6f", kNombres[k], static_cast<double>(tiempos.ns[k]) / 1e9);
        }
        std::printf("}}\n");
        return;
    }
    std::printf("Tiempos: %.3f s en total, %u hilos; cada fase, sumada en todos los hilos:\n",
                segundos, hilos);
    for (std::size_t k = 0; k < kFases; ++k) {
        const double parte =
            medido > 0 ? 100.0 * static_cast<double>(tiempos.ns[k]) / static_cast<double>(medido)
                       : 0.0;
        std::printf("  %-13s %8.3f s %5.1f%%\n", kNombres[k],
                    static_cast<double>(tiempos.ns[k]) / 1e9, parte);
    }
}

}  // namespace kexo
