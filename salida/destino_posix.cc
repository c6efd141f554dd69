// The destination on POSIX systems: the temporary file is made relative to
// the destination's folder, unnamed where the system allows (O_TMPFILE), and
// renamed over the destination.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>

#include "common/atributos.h"
#include "common/comun_posix.h"
#include "salida/destino_sistema.h"
#include "salida/temporales.h"

namespace kexo {

namespace {

extern "C" void al_recibir_senal(int senal) {
    // The code it interrupted may still read errno.
    const int guardado = errno;
    borra_temporales(borra_entrada);
    // The handler ran once (SA_RESETHAND): the signal now ends the process.
    raise(senal);
    errno = guardado;
}

bool instala_senales() {
    for (const int senal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction antes {};
        if (sigaction(senal, nullptr, &antes) == 0 && antes.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction accion {};
        accion.sa_handler = al_recibir_senal;
        accion.sa_flags = static_cast<int>(SA_RESETHAND);
        sigemptyset(&accion.sa_mask);
        sigaction(senal, &accion, nullptr);
    }
    return true;
}

// The folder part of `ruta`, ending in '/', or "" for a bare name.
std::string carpeta_de(const std::string& ruta) {
    const std::size_t barra = ruta.rfind('/');
    return barra == std::string::npos ? std::string() : ruta.substr(0, barra + 1);
}

// The target of the symbolic link `ruta`, or "" when it cannot be read.
std::string lee_enlace(const std::string& ruta) {
    for (std::size_t sitio = 256;; sitio *= 2) {
        std::string objetivo(sitio, '\0');
        const ssize_t n = readlink(ruta.c_str(), objetivo.data(), sitio);
        if (n < 0) {
            return std::string();
        }
        if (static_cast<std::size_t>(n) < sitio) {
            objetivo.resize(static_cast<std::size_t>(n));
            return objetivo;
        }
    }
}

// The file that `ruta` names once its symbolic links are followed, even when
// the last one points to nothing yet. A loop of links is left for the open to
// report.
std::string sigue_enlaces(std::string ruta) {
    for (int saltos = 0; saltos < 40; ++saltos) {
        struct stat estado;
        if (lstat(ruta.c_str(), &estado) != 0 || !S_ISLNK(estado.st_mode)) {
            return ruta;
        }
        const std::string objetivo = lee_enlace(ruta);
        if (objetivo.empty()) {
            return ruta;
        }
        ruta = objetivo[0] == '/' ? objetivo : carpeta_de(ruta) + objetivo;
    }
    return ruta;
}

bool mismo_nodo(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The permission bits of a new file: 0666 less the umask. Reading the umask
// means setting it for a moment, during which a file or folder another thread
// made would take world-writable bits: it is read before main, while the
// process has a single thread.
const mode_t kPermisosNuevos = [] {
    const mode_t mascara = umask(0);
    umask(mascara);
    return static_cast<mode_t>(0666 & ~mascara);
}();

}  // namespace

int examina_destino(const std::string& ruta, std::string& real, nodo& previo, bool& directo) {
    previo = nodo{};
    directo = false;
    // The name itself first: only a link needs following.
    struct stat antes;
    bool existe = lstat(ruta.c_str(), &antes) == 0;
    if (!existe && errno != ENOENT) {
        return errno;
    }
    real = ruta;
    if (existe && S_ISLNK(antes.st_mode)) {
        existe = stat(ruta.c_str(), &antes) == 0;
        if (!existe && errno != ENOENT) {
            return errno;
        }
        real = sigue_enlaces(ruta);
        struct stat enlazado;
        if (existe && (stat(real.c_str(), &enlazado) != 0 || !mismo_nodo(antes, enlazado))) {
            real = ruta;  // the links lead there in a way not followed here
            directo = true;
            return 0;
        }
    }
    if (!existe) {
        return 0;
    }
    if (!S_ISREG(antes.st_mode)) {
        real = ruta;  // a device, FIFO, terminal, or folder (whose open fails)
        directo = true;
        return 0;
    }
    // Replacing the file must not bypass a permission to write it.
    if (!descriptor(open(real.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC)).abierto()) {
        return errno;
    }
    previo = nodo_de(antes);
    return 0;
}

void prepara_temporal(int fd, const nodo& previo, bool con_nombre) {
    if (previo.clase == clase_nodo::fichero) {
        conserva_dueno_y_permisos(fd, previo.dueno, previo.grupo, previo.modo);
    } else if (con_nombre) {
        fchmod(fd, kPermisosNuevos);  // a named one was made 0600
    }
}

void vigila_senales() {
    static const bool vigiladas = instala_senales();
    static_cast<void>(vigiladas);
}

}  // namespace kexo
