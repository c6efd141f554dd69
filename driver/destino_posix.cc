// The destination on POSIX systems: a temporary file in the destination's
// folder (unnamed where the system allows, O_TMPFILE), renamed over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>

#include "driver/destino.h"
#include "driver/temporales.h"

namespace kexo {

namespace {

void borra(const char* nombre) {
    unlink(nombre);
}

extern "C" void al_recibir_senal(int senal) {
    borra_temporales(borra);
    // The handler ran once (SA_RESETHAND): the signal now ends the process.
    raise(senal);
}

// Has SIGINT, SIGTERM and SIGHUP remove the temporary files before they end
// the process; a signal that is ignored stays ignored.
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

void vigila_senales() {
    static const bool vigiladas = instala_senales();
    static_cast<void>(vigiladas);
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

// A new name in `carpeta` for the temporary file.
std::string nombre_nuevo(const std::string& carpeta) {
    static const std::string proceso = std::to_string(getpid());
    static std::atomic<unsigned> cuenta{0};
    return carpeta + ".kexo-" + proceso + "-" + std::to_string(cuenta++);
}

// Names the temporary file: puts `candidato` in `nombre` and records it in
// `ranura` before the file exists, so that a signal never leaves it behind
// (the name holds the process number: no other live process uses it). Then
// `crea` makes the file; when it fails, the name is forgotten again.
template <typename Creacion>
bool nombra_antes(const std::string& candidato, std::string& nombre, int& ranura, Creacion crea) {
    nombre = candidato;
    ranura = registra_temporal(nombre.c_str());
    if (crea()) {
        return true;
    }
    const int error = errno;
    olvida_temporal(ranura);
    ranura = -1;
    nombre.clear();
    errno = error;
    return false;
}

// Opens a temporary file in `carpeta`: unnamed if the file system can, else
// under a fresh name, put in `nombre` and recorded in `ranura`. Returns the
// descriptor, or -1 with errno.
int abre_temporal(const std::string& carpeta, std::string& nombre, int& ranura) {
    const std::string donde = carpeta.empty() ? "." : carpeta;
#ifdef O_TMPFILE
    // Unnamed, no other process can open it: it takes a new file's bits at once.
    const int sin_nombre = open(donde.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (sin_nombre >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return sin_nombre;
    }
#endif
    int fd = -1;
    for (int intento = 0; intento < 100; ++intento) {
        const bool creado = nombra_antes(nombre_nuevo(carpeta), nombre, ranura, [&] {
            fd = open(nombre.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            return fd >= 0;
        });
        if (creado || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Links the unnamed file open as `fd` in as `nombre`. Returns false, with
// errno, when it cannot (EEXIST: the name is taken).
bool enlaza(int fd, const char* nombre) {
    const std::string en_proc = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, en_proc.c_str(), AT_FDCWD, nombre, AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    // No /proc: the descriptor itself, which needs a privilege.
    return errno == ENOENT && linkat(fd, "", AT_FDCWD, nombre, AT_EMPTY_PATH) == 0;
}

// Gives the unnamed temporary file open as `fd` a fresh name in `carpeta`,
// put in `nombre` and recorded in `ranura`.
bool nombra(int fd, const std::string& carpeta, std::string& nombre, int& ranura) {
    for (int intento = 0; intento < 100; ++intento) {
        const bool enlazado = nombra_antes(nombre_nuevo(carpeta), nombre, ranura,
                                           [&] { return enlaza(fd, nombre.c_str()); });
        if (enlazado || errno != EEXIST) {
            return enlazado;
        }
    }
    return false;
}

// The permission bits of a new file: 0666 less the umask, read once.
mode_t permisos_nuevos() {
    static const mode_t permisos = [] {
        const mode_t mascara = umask(0);
        umask(mascara);
        return 0666 & ~mascara;
    }();
    return permisos;
}

}  // namespace

int destino::abre(const std::string& ruta) {
    if (ruta.empty()) {
        return ENOENT;
    }
    // The name itself first: only a link needs following.
    struct stat antes;
    bool existe = lstat(ruta.c_str(), &antes) == 0;
    if (!existe && errno != ENOENT) {
        return errno;
    }
    ruta_ = ruta;
    if (existe && S_ISLNK(antes.st_mode)) {
        existe = stat(ruta.c_str(), &antes) == 0;
        if (!existe && errno != ENOENT) {
            return errno;
        }
        ruta_ = sigue_enlaces(ruta);
        struct stat enlazado;
        if (existe && (stat(ruta_.c_str(), &enlazado) != 0 || !mismo_nodo(antes, enlazado))) {
            return abre_directo(ruta);  // the links lead there in a way not followed here
        }
    }
    if (existe && !S_ISREG(antes.st_mode)) {
        return abre_directo(ruta);  // a device, FIFO, terminal, or folder (which fails here)
    }
    if (existe) {
        // Replacing the file must not bypass a permission to write it.
        const int prueba = open(ruta_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (prueba < 0) {
            return errno;
        }
        close(prueba);
    }
    vigila_senales();
    const int fd = abre_temporal(carpeta_de(ruta_), temporal_, ranura_);
    if (fd < 0) {
        if (!existe) {
            return errno;
        }
        // No new file can be made beside it: write the file itself.
        return abre_directo(ruta_);
    }
    sin_nombre_ = temporal_.empty();
    nuevo_ = !existe;
    if (original_ == nullptr && existe) {
        if (fchown(fd, antes.st_uid, antes.st_gid) != 0) {
            // Only a privileged user may give a file away; the file stays the writer's.
        }
        fchmod(fd, antes.st_mode & 07777);
    } else if (original_ == nullptr && !sin_nombre_) {
        fchmod(fd, permisos_nuevos());  // a named one was made 0600
    }
    return adopta_temporal(fd);
}

bool destino::comparte_salida_estandar() const {
    struct stat salida;
    struct stat escrito;
    return en_su_sitio_ && fstat(STDOUT_FILENO, &salida) == 0 && S_ISREG(salida.st_mode) &&
           fstat(fileno(flujo_.get()), &escrito) == 0 && mismo_nodo(salida, escrito);
}

bool destino::aplica_atributos() {
    if (original_ == nullptr) {
        return true;
    }
    struct stat de_original;
    if (fstat(fileno(original_), &de_original) != 0) {
        return false;
    }
    const int fd = fileno(flujo_.get());
    const struct timespec tiempos[2] = {de_original.st_atim, de_original.st_mtim};
    return fchmod(fd, de_original.st_mode & 07777) == 0 && futimens(fd, tiempos) == 0;
}

bool destino::nombra_temporal() {
    if (!sin_nombre_) {
        return true;
    }
    // A new destination takes the file's first name, unless one was made meanwhile.
    const int fd = fileno(flujo_.get());
    if (nuevo_ && enlaza(fd, ruta_.c_str())) {
        en_su_nombre_ = true;
        return true;
    }
    return nombra(fd, carpeta_de(ruta_), temporal_, ranura_);
}

bool destino::coloca_temporal() {
    if (en_su_nombre_) {
        en_su_nombre_ = false;
        return true;
    }
    if (std::rename(temporal_.c_str(), ruta_.c_str()) != 0) {
        return false;
    }
    suelta_temporal();
    return true;
}

void destino::borra_temporal() {
    if (en_su_nombre_) {
        unlink(ruta_.c_str());  // it failed after taking the name: it was not there before
        en_su_nombre_ = false;
    }
    if (!temporal_.empty()) {
        unlink(temporal_.c_str());
        suelta_temporal();
    }
}

}  // namespace kexo
