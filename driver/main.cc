// kexo: compacts a PHP source file into a destination file.
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "compaction/compacta.h"
#include "comun/plataforma.h"
#include "comun/traza.h"
#include "driver/destino.h"
#include "driver/origen.h"
#include "notice/aviso.h"

namespace {

// The usage text; "\xa0" is the letter a with acute accent in the console's code page.
constexpr const char* kUso =
    "kexo. ** Error de par\xa0"
    "metros **\n"
    "Uso:    kexo <origen> <destinos>\n"
    "        <origen>    Nombre fichero origen.\n"
    "        <destino>   Nombre fichero destino.\n\n";
constexpr const char* kNoAbre = "Imposible abrir fichero entrada %d\n";
constexpr const char* kNoLee = "Imposible leer fichero entrada %d\n";
constexpr const char* kMismoFichero = "Origen y destino son el mismo fichero\n";

constexpr int kFallo = 1;

int falla(const char* mensaje, int numero = 0) {
    std::printf(mensaje, numero);
    return kFallo;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs(kUso, stdout);
        return kFallo;
    }
    const std::string ruta_origen = argv[1];
    const std::string ruta_destino = argv[2];
    archivo origen = abre_origen(ruta_origen.c_str());
    if (!origen) {
        return falla(kNoAbre, errno);
    }
    const std::string scopy = lee_copyright(lee_entorno("PHPRC"));
    if (mismo_fichero(origen.get(), ruta_destino.c_str())) {
        return falla(kMismoFichero);
    }
    // The source is read whole before the destination is opened, so that a
    // failed read leaves the destination as it was.
    std::string sfuente;
    if (const int error = lee_todo(origen.get(), sfuente); error != 0) {
        return falla(kNoLee, error);
    }
    origen.reset();
    archivo destino(std::fopen(ruta_destino.c_str(), "wb"));
    if (!destino) {
        return falla(kNoAbre, errno);
    }
    std::printf("Longitud origen (%lld)\n", static_cast<long long>(sfuente.size()));
    const compactado sresultado =
        compacta_fuente(sfuente, nivel_traza >= 2 ? traza_bytes : nullptr);
    traza("inicia escritura scopy=(%s)\n", scopy.c_str());
    const bool escrito = escribe_destino(destino.get(), scopy, sresultado);
    return cierra_destino(std::move(destino), escrito);
}
