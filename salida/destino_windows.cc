// The destination on Windows: the temporary file is made by its whole path in
// the destination's folder, and moved over it with MoveFileEx.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "common/archivo.h"
#include "common/comun_windows.h"
#include "salida/destino_sistema.h"
#include "salida/temporales.h"

namespace kexo {

namespace {

extern "C" void al_recibir_senal(int senal) {
    borra_temporales(borra_entrada);
    std::signal(senal, SIG_DFL);
    std::raise(senal);
}

bool instala_senales() {
    std::signal(SIGINT, al_recibir_senal);
    std::signal(SIGTERM, al_recibir_senal);
    return true;
}

}  // namespace

int examina_destino(const std::string& ruta, std::string& real, nodo& previo, bool& directo) {
    previo = nodo{};
    directo = false;
    real = ruta;
    struct _stat64 antes;
    const bool existe = _stat64(ruta.c_str(), &antes) == 0;
    if (existe && (antes.st_mode & _S_IFREG) == 0) {
        directo = true;  // a device or a folder (whose open fails)
        return 0;
    }
    if (existe) {
        previo.clase = clase_nodo::fichero;
        // Replacing the file must not bypass a permission to write it.
        archivo prueba(std::fopen(ruta.c_str(), "r+b"));
        return prueba ? 0 : errno;
    }
    // A name the system refuses (too long, say) is refused as it would be
    // when creating the file itself.
    descriptor prueba(_open(ruta.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL, _S_IWRITE));
    if (!prueba.abierto()) {
        // What exists without a status to tell (a device) is written directly.
        directo = errno == EEXIST;
        return directo ? 0 : errno;
    }
    prueba.cierra();
    _unlink(ruta.c_str());
    return 0;
}

void prepara_temporal(int, const nodo&, bool) {
    // A new file's attributes: a read-only one could not be moved into place.
}

void vigila_senales() {
    static const bool vigiladas = instala_senales();
    static_cast<void>(vigiladas);
}

}  // namespace kexo
