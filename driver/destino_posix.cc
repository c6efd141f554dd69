// The destination on POSIX systems: the temporary file is made relative to
// the destination's folder, unnamed where the system allows (O_TMPFILE), and
// renamed over the destination.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "driver/destino_sistema.h"
#include "driver/temporales.h"

namespace kexo {

namespace {

extern "C" void al_recibir_senal(int senal) {
    borra_temporales(borra_entrada);
    // The handler ran once (SA_RESETHAND): the signal now ends the process.
    raise(senal);
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

// The permission bits of a new file: 0666 less the umask, read once.
mode_t permisos_nuevos() {
    static const mode_t permisos = [] {
        const mode_t mascara = umask(0);
        umask(mascara);
        return 0666 & ~mascara;
    }();
    return permisos;
}

// Gives the file open as `fd` the owner `dueno` and group `grupo` where the
// system lets this process (as root), as `cp -a` does, then the bits `modo`:
// without setuid and setgid when the owner or group could not be kept, so
// that the file never runs as another user than its original's.
bool da_dueno_y_modo(int fd, uid_t dueno, gid_t grupo, mode_t modo) {
    if (fchown(fd, dueno, grupo) != 0) {
        modo &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
    }
    return fchmod(fd, modo) == 0;
}

int en(int carpeta) {
    return carpeta >= 0 ? carpeta : AT_FDCWD;
}

}  // namespace

carpeta_destino::~carpeta_destino() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int carpeta_destino::abre_de(const std::string& ruta, std::string& nombre) {
    const std::string carpeta = carpeta_de(ruta);
    nombre = ruta.substr(carpeta.size());
    fd_ = open(carpeta.empty() ? "." : carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ >= 0 ? 0 : errno;
}

int examina_destino(const std::string& ruta, std::string& real, nodo_destino& nodo) {
    // The name itself first: only a link needs following.
    struct stat antes;
    nodo.existe = lstat(ruta.c_str(), &antes) == 0;
    if (!nodo.existe && errno != ENOENT) {
        return errno;
    }
    real = ruta;
    if (nodo.existe && S_ISLNK(antes.st_mode)) {
        nodo.existe = stat(ruta.c_str(), &antes) == 0;
        if (!nodo.existe && errno != ENOENT) {
            return errno;
        }
        real = sigue_enlaces(ruta);
        struct stat enlazado;
        if (nodo.existe && (stat(real.c_str(), &enlazado) != 0 || !mismo_nodo(antes, enlazado))) {
            real = ruta;  // the links lead there in a way not followed here
            nodo.directo = true;
            return 0;
        }
    }
    if (!nodo.existe) {
        return 0;
    }
    if (!S_ISREG(antes.st_mode)) {
        real = ruta;  // a device, FIFO, terminal, or folder (whose open fails)
        nodo.directo = true;
        return 0;
    }
    // Replacing the file must not bypass a permission to write it.
    const int prueba = open(real.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (prueba < 0) {
        return errno;
    }
    close(prueba);
    nodo.modo = antes.st_mode & 07777;
    nodo.dueno = antes.st_uid;
    nodo.grupo = antes.st_gid;
    return 0;
}

int crea_sin_nombre(const carpeta_destino& carpeta, bool& sin_soporte) {
#ifdef O_TMPFILE
    // Unnamed, no other process can open it: it takes a new file's bits at once.
    const int fd = openat(en(carpeta.fd()), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    sin_soporte = fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    return fd;
#else
    static_cast<void>(carpeta);
    sin_soporte = true;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int crea_exclusivo(const carpeta_destino& carpeta, const char* nombre) {
    return openat(en(carpeta.fd()), nombre, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
}

bool enlaza_sin_nombre(const carpeta_destino& carpeta, int fd, const char* nombre) {
    const std::string en_proc = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, en_proc.c_str(), en(carpeta.fd()), nombre, AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    // No /proc: the descriptor itself, which needs a privilege.
    return errno == ENOENT && linkat(fd, "", en(carpeta.fd()), nombre, AT_EMPTY_PATH) == 0;
}

bool renombra(const carpeta_destino& carpeta, const char* de, const char* a) {
    return renameat(en(carpeta.fd()), de, en(carpeta.fd()), a) == 0;
}

void borra_entrada(int carpeta, const char* nombre) {
    unlinkat(en(carpeta), nombre, 0);
}

void prepara_temporal(int fd, const nodo_destino& nodo, bool con_nombre) {
    if (nodo.existe) {
        da_dueno_y_modo(fd, static_cast<uid_t>(nodo.dueno), static_cast<gid_t>(nodo.grupo),
                        static_cast<mode_t>(nodo.modo));
    } else if (con_nombre) {
        fchmod(fd, permisos_nuevos());  // a named one was made 0600
    }
}

bool copia_atributos(int fd, std::FILE* original) {
    struct stat de_original;
    if (fstat(fileno(original), &de_original) != 0) {
        return false;
    }
    const struct timespec tiempos[2] = {de_original.st_atim, de_original.st_mtim};
    return da_dueno_y_modo(fd, de_original.st_uid, de_original.st_gid,
                           de_original.st_mode & 07777) &&
           futimens(fd, tiempos) == 0;
}

bool es_salida_estandar(int fd) {
    struct stat salida;
    struct stat escrito;
    return fstat(STDOUT_FILENO, &salida) == 0 && S_ISREG(salida.st_mode) &&
           fstat(fd, &escrito) == 0 && mismo_nodo(salida, escrito);
}

void vigila_senales() {
    static const bool vigiladas = instala_senales();
    static_cast<void>(vigiladas);
}

}  // namespace kexo
