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
#include "driver/destino_sistema.h"
#include "driver/temporales.h"

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

// The folder part of `ruta`, ending in a separator, or "" for a bare name.
std::string carpeta_de(const std::string& ruta) {
    const std::size_t separador = ruta.find_last_of("\\/:");
    return separador == std::string::npos ? std::string() : ruta.substr(0, separador + 1);
}

}  // namespace

carpeta_destino::~carpeta_destino() = default;

int carpeta_destino::abre_de(const std::string& ruta, std::string& nombre) {
    prefijo_ = carpeta_de(ruta);
    nombre = ruta;
    return 0;
}

int examina_destino(const std::string& ruta, std::string& real, nodo_destino& nodo) {
    real = ruta;
    struct _stat64 antes;
    nodo.existe = _stat64(ruta.c_str(), &antes) == 0;
    if (nodo.existe && (antes.st_mode & _S_IFREG) == 0) {
        nodo.directo = true;  // a device or a folder (whose open fails)
        return 0;
    }
    if (nodo.existe) {
        // Replacing the file must not bypass a permission to write it.
        archivo prueba(std::fopen(ruta.c_str(), "r+b"));
        return prueba ? 0 : errno;
    }
    // A name the system refuses (too long, say) is refused as it would be
    // when creating the file itself.
    const int prueba = _open(ruta.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL, _S_IWRITE);
    if (prueba < 0) {
        // What exists without a status to tell (a device) is written directly.
        nodo.directo = errno == EEXIST;
        return nodo.directo ? 0 : errno;
    }
    _close(prueba);
    _unlink(ruta.c_str());
    return 0;
}

int crea_sin_nombre(const carpeta_destino&, bool& sin_soporte) {
    sin_soporte = true;
    errno = ENOSYS;
    return -1;
}

int crea_exclusivo(const carpeta_destino&, const char* nombre) {
    return _open(nombre, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool enlaza_sin_nombre(const carpeta_destino&, int, const char*) {
    errno = ENOSYS;
    return false;
}

bool renombra(const carpeta_destino&, const char* de, const char* a) {
    return MoveFileExA(de, a, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void borra_entrada(int, const char* nombre) {
    _unlink(nombre);
}

void prepara_temporal(int, const nodo_destino&, bool) {
    // A new file's attributes: a read-only one could not be moved into place.
}

bool copia_atributos(int fd, std::FILE* original) {
    // The times only: a read-only file could not be moved into place.
    struct _stat64 de_original;
    if (_fstat64(_fileno(original), &de_original) != 0) {
        return false;
    }
    struct __utimbuf64 tiempos = {de_original.st_atime, de_original.st_mtime};
    return _futime64(fd, &tiempos) == 0;
}

bool es_salida_estandar(int) {
    return false;
}

void vigila_senales() {
    static const bool vigiladas = instala_senales();
    static_cast<void>(vigiladas);
}

}  // namespace kexo
