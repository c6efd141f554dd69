// A probe into the lexical layer for the judges that run PHP beside it
// (tests/juez_php.sh, tests/fuzz_php.py):
//
//   sonda_lexica piezas FICHERO       every token: clase, matiz, line, bytes (JSON)
//   sonda_lexica compacta ORIGEN DESTINO
//                                     PHP's rules over a file, or over every .php
//                                     file of a tree (other files are not copied)
//   sonda_lexica compara ORIGINAL OTRO [lineas]
//                                     the check's verdict: `iguales`, or
//                                     `distintos MOTIVO LINEA`
//   sonda_lexica lote CARPETA         for each N.php there: writes N.kexo (kexo's
//                                     bytes), N.reglas (PHP's rules), and the
//                                     tokens of N.php and N.mut as `piezas` prints
//                                     them (N.piezas, N.mut.piezas); prints one
//                                     JSON line with the check's verdicts on
//                                     them and on N.mut when there is one
//
// Exit status 0, or 2 on bad use or a file that cannot be read or written.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "compaction/compacta.h"
#include "lexical/lectura_php.h"
#include "lexical/lexico_php.h"
#include "lexical/reglas_php.h"

namespace kexo {

namespace {

namespace fs = std::filesystem;

bool lee(const fs::path& ruta, std::string& bytes) {
    std::ifstream archivo(ruta, std::ios::binary);
    if (!archivo) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(archivo), std::istreambuf_iterator<char>());
    return true;
}

bool escribe(const fs::path& ruta, const std::string& bytes) {
    std::ofstream archivo(ruta, std::ios::binary);
    archivo.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(archivo);
}

std::string json(std::string_view bytes) {
    std::string salida = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            salida += '\\';
            salida += c;
        } else if (u < 0x20 || u >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", u);
            salida += hex;
        } else {
            salida += c;
        }
    }
    return salida + "\"";
}

const char* nombre_de(clase_pieza clase) {
    static const char* const kNombres[] = {"fin",    "html",      "apertura", "cierre",
                                           "codigo", "cadena",    "datos",    "documentacion",
                                           "blanco", "comentario"};
    return kNombres[static_cast<int>(clase)];
}

const char* nombre_de(motivo_diferencia motivo) {
    static const char* const kNombres[] = {"ninguno", "programa", "documentacion", "linea_magica",
                                           "linea"};
    return kNombres[static_cast<int>(motivo)];
}

std::string veredicto(const comparacion& hallada) {
    if (hallada.iguales) {
        return "iguales";
    }
    return std::string("distintos ") + nombre_de(hallada.motivo) + " " +
           std::to_string(hallada.linea);
}

std::string veredicto_json(const comparacion& hallada) {
    return std::string("[") + (hallada.iguales ? "true" : "false") + ", \"" +
           nombre_de(hallada.motivo) + "\", " + std::to_string(hallada.linea) + "]";
}

std::string hexadecimal(std::string_view bytes) {
    static constexpr char kCifras[] = "0123456789abcdef";
    std::string salida;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        salida += kCifras[u >> 4];
        salida += kCifras[u & 15];
    }
    return salida;
}

// The tokens, one a line; their bytes in JSON, or in hexadecimal.
std::string piezas_de(std::string_view fuente, bool en_hexadecimal = false) {
    std::string salida;
    escaner_php escaner(fuente);
    for (pieza leida = escaner.siguiente(); leida.clase != clase_pieza::fin;
         leida = escaner.siguiente()) {
        salida += std::string(nombre_de(leida.clase)) + '\t' +
                  std::to_string(static_cast<int>(leida.variante)) + '\t' +
                  std::to_string(leida.linea) + '\t' +
                  (en_hexadecimal ? hexadecimal(leida.texto) : json(leida.texto)) + '\n';
    }
    return salida;
}

int piezas(const fs::path& ruta) {
    std::string fuente;
    if (!lee(ruta, fuente)) {
        return 2;
    }
    std::cout << piezas_de(fuente);
    return 0;
}

int compacta_fichero(const fs::path& de, const fs::path& a) {
    std::string fuente;
    return lee(de, fuente) && escribe(a, compacta_php(fuente)) ? 0 : 2;
}

int compacta(const fs::path& de, const fs::path& a) {
    if (!fs::is_directory(de)) {
        return compacta_fichero(de, a);
    }
    for (const auto& entrada : fs::recursive_directory_iterator(de)) {
        if (!entrada.is_regular_file() || entrada.is_symlink() ||
            entrada.path().extension() != ".php") {
            continue;
        }
        const fs::path destino = a / fs::relative(entrada.path(), de);
        fs::create_directories(destino.parent_path());
        if (compacta_fichero(entrada.path(), destino) != 0) {
            return 2;
        }
    }
    return 0;
}

int lote(const fs::path& carpeta) {
    std::vector<fs::path> casos;
    for (const auto& entrada : fs::directory_iterator(carpeta)) {
        if (entrada.path().extension() == ".php") {
            casos.push_back(entrada.path());
        }
    }
    for (const fs::path& caso : casos) {
        std::string fuente;
        if (!lee(caso, fuente)) {
            return 2;
        }
        const std::string kexo = compacta_fuente(fuente).bytes;
        // PHP's rules' bytes are checked with the tokens the rules kept, as
        // kexo-arbol checks them.
        lectura_php lectura;
        const std::string reglas = compacta_php(fuente, lectura);
        fs::path ruta = caso;
        if (!escribe(ruta.replace_extension(".kexo"), kexo) ||
            !escribe(ruta.replace_extension(".reglas"), reglas) ||
            !escribe(ruta.replace_extension(".piezas"), piezas_de(fuente, true))) {
            return 2;
        }
        std::cout << "{\"caso\": " << json(caso.stem().string())
                  << ", \"kexo\": " << veredicto_json(compara_php(fuente, kexo)) << ", \"reglas\": "
                  << veredicto_json(compara_php(fuente, lectura, reglas, modo_comparacion::lineas))
                  << ", \"doble\": " << (compacta_php(reglas) == reglas ? "true" : "false");
        std::string mutada;
        if (lee(ruta.replace_extension(".mut"), mutada)) {
            if (!escribe(ruta.replace_extension(".mut.piezas"), piezas_de(mutada, true))) {
                return 2;
            }
            std::cout << ", \"mut\": " << veredicto_json(compara_php(fuente, mutada))
                      << ", \"mut_lineas\": "
                      << veredicto_json(
                             compara_php(fuente, lectura, mutada, modo_comparacion::lineas));
        }
        std::cout << "}\n";
    }
    return 0;
}

}  // namespace

}  // namespace kexo

int main(int argc, char** argv) {
    using namespace kexo;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "piezas") {
        return piezas(args[1]);
    }
    if (args.size() == 3 && args[0] == "compacta") {
        return compacta(args[1], args[2]);
    }
    if ((args.size() == 3 || (args.size() == 4 && args[3] == "lineas")) && args[0] == "compara") {
        std::string a;
        std::string b;
        if (!lee(args[1], a) || !lee(args[2], b)) {
            return 2;
        }
        std::cout << veredicto(compara_php(
                         a, b,
                         args.size() == 4 ? modo_comparacion::lineas : modo_comparacion::programa))
                  << '\n';
        return 0;
    }
    if (args.size() == 2 && args[0] == "lote") {
        return lote(args[1]);
    }
    std::cerr << "uso: sonda_lexica piezas|compacta|compara|lote ...\n";
    return 2;
}
