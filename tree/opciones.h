// kexo-arbol's command line: the table of its options, the usage text made
// from it, and the reading of argv into what a run is asked to do.
#ifndef KEXO_TREE_OPCIONES_H_
#define KEXO_TREE_OPCIONES_H_

#include <string>
#include <thread>
#include <vector>

#include "salida/paquete.h"
#include "tree/estado.h"
#include "tree/informe.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {

// One option of the command line, as the usage text and the parser see it.
struct opcion_arbol {
    char corta;         // its letter after one dash, or 0: a long name only
    const char* larga;  // its name after two dashes
    const char* valor;  // the name of its value in the usage text, or null: none
    int clave;          // what the parser returns for it (its letter, when it has one)
    const char* ayuda;  // its help, LF between lines
};

// Every option, in the order the usage text lists them.
const std::vector<opcion_arbol>& opciones_arbol();

// The usage text, made from the table.
std::string texto_uso();

// What a run is asked to do.
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
    bool modo_dado = false;        // --modo was given
    std::string ruta_aviso;        // the file --aviso names
    bool borra = false;            // remove from the destination what the source no longer has
    bool borra_excluidos = false;  // and what the patterns leave out
    std::vector<std::string> sin_compactar;  // the --sin-compactar patterns, as given
    bool tiempos = false;                    // print where the time went, phase by phase
    // An archive instead of a folder: as --formato says, else as the destination's name does.
    formato_paquete formato = formato_paquete::carpeta;
    bool formato_dado = false;
    std::string prefijo;    // the folder inside the archive that holds every entry
    std::string principal;  // a PHAR's script, run by its stub
    std::string ruta_stub;  // a PHAR's own stub, from this file
    std::string stub;       // its bytes
    std::string alias;      // a PHAR's alias, when given
    firma_phar firma = firma_phar::sha256;
    bool comprime = false;  // a PHAR's files gzipped (--comprime=gz)
    bool comprime_dado = false;
};

// What is wrong with a command line.
struct orden_mal {
    std::string que;     // the option or argument, and what is wrong with it
    bool de_uso = true;  // bad usage, to be shown the usage; else a file an option names
};

// Reads the command line into `o`. Returns false, with what is wrong in
// `mal`, when it is not right.
bool lee_opciones(int argc, char** argv, opciones& o, orden_mal& mal);

// What of `o` changes a file's output, for the key kept in each file's record.
opciones_salida salida_de(const opciones& o, const char* version);

}  // namespace kexo

#endif  // KEXO_TREE_OPCIONES_H_
