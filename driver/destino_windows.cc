// The destination on Windows: a temporary file in the destination's folder,
// moved over it with MoveFileEx.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "driver/destino.h"
#include "driver/temporales.h"

namespace kexo {

namespace {

void borra(const char* nombre) {
    _unlink(nombre);
}

extern "C" void al_recibir_senal(int senal) {
    borra_temporales(borra);
    std::signal(senal, SIG_DFL);
    std::raise(senal);
}

// The folder part of `ruta`, ending in a separator, or "" for a bare name.
std::string carpeta_de(const std::string& ruta) {
    const std::size_t separador = ruta.find_last_of("\\\\/:");
    return separador == std::string::npos ? std::string() : ruta.substr(0, separador + 1);
}

// Opens a new temporary file in `carpeta`, its name put in `nombre` and
// recorded in `ranura`. Returns the descriptor, or -1 with errno.
int abre_temporal(const std::string& carpeta, std::string& nombre, int& ranura) {
    for (unsigned intento = 0; intento < 100; ++intento) {
        const std::string candidato =
            carpeta + ".kexo-" + std::to_string(_getpid()) + "-" + std::to_string(intento);
        const int fd = _open(candidato.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                             _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            nombre = candidato;
            ranura = registra_temporal(nombre.c_str());
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

}  // namespace

int destino::abre(const std::string& ruta) {
    if (ruta.empty()) {
        return ENOENT;
    }
    struct _stat64 antes;
    const bool existe = _stat64(ruta.c_str(), &antes) == 0;
    ruta_ = ruta;
    if (existe && (antes.st_mode & _S_IFREG) == 0) {
        // A device or a folder (which fails here).
        return abre_directo(ruta);
    }
    if (existe) {
        // Replacing the file must not bypass a permission to write it.
        archivo prueba(std::fopen(ruta.c_str(), "r+b"));
        if (!prueba) {
            return errno;
        }
    } else {
        // A name the system refuses (too long, say) is refused as it would be
        // when creating the file itself.
        const int prueba = _open(ruta.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL, _S_IWRITE);
        if (prueba < 0) {
            // What exists without a status to tell (a device) is written directly.
            return errno == EEXIST ? abre_directo(ruta) : errno;
        }
        _close(prueba);
        _unlink(ruta.c_str());
    }
    std::signal(SIGINT, al_recibir_senal);
    std::signal(SIGTERM, al_recibir_senal);
    const int fd = abre_temporal(carpeta_de(ruta), temporal_, ranura_);
    if (fd < 0) {
        if (!existe) {
            return errno;
        }
        // No new file can be made beside it: write the file itself.
        return abre_directo(ruta);
    }
    return adopta_temporal(fd);
}

bool destino::comparte_salida_estandar() const {
    return false;
}

bool destino::aplica_atributos() {
    if (original_ == nullptr) {
        return true;
    }
    // The times only: a read-only file could not be moved into place.
    struct _stat64 de_original;
    if (_fstat64(_fileno(original_), &de_original) != 0) {
        return false;
    }
    struct __utimbuf64 tiempos = {de_original.st_atime, de_original.st_mtime};
    return _futime64(_fileno(flujo_.get()), &tiempos) == 0;
}

bool destino::nombra_temporal() {
    return true;  // it was made with one
}

bool destino::coloca_temporal() {
    if (MoveFileExA(temporal_.c_str(), ruta_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        return false;
    }
    suelta_temporal();
    return true;
}

void destino::borra_temporal() {
    if (!temporal_.empty()) {
        _unlink(temporal_.c_str());
        suelta_temporal();
    }
}

}  // namespace kexo
