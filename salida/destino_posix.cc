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

#include "common/plataforma.h"
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

// The permission bits of a new file: 0666 less the umask, read once.
mode_t permisos_nuevos() {
    static const mode_t permisos = [] {
        const mode_t mascara = umask(0);
        umask(mascara);
        return 0666 & ~mascara;
    }();
    return permisos;
}

int en(int carpeta) {
    return carpeta >= 0 ? carpeta : AT_FDCWD;
}

}  // namespace

int abre_carpeta_de(const std::string& ruta, carpeta& abierta, std::string& nombre) {
    const std::string suya = carpeta_de(ruta);
    nombre = ruta.substr(suya.size());
    descriptor fd(open(suya.empty() ? "." : suya.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.abierto()) {
        return errno;
    }
    abierta = carpeta::de_descriptor(std::move(fd));
    return 0;
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
    if (!descriptor(open(real.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC)).abierto()) {
        return errno;
    }
    nodo.modo = antes.st_mode & 07777;
    nodo.dueno = antes.st_uid;
    nodo.grupo = antes.st_gid;
    return 0;
}

int examina_entrada(const carpeta& carpeta, const char* nombre, nodo_destino& nodo, bool& ocupado) {
    struct stat estado;
    ocupado = fstatat(en(carpeta.fd()), nombre, &estado, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ocupado) {
        return errno == ENOENT ? 0 : errno;
    }
    nodo.existe = S_ISREG(estado.st_mode);
    if (nodo.existe) {
        nodo.modo = estado.st_mode & 07777;
        nodo.dueno = estado.st_uid;
        nodo.grupo = estado.st_gid;
    }
    return 0;
}

int crea_sin_nombre(const carpeta& carpeta, descriptor& hecho) {
#ifdef O_TMPFILE
    // Unnamed, no other process can open it: it takes a new file's bits at once.
    // Open for reading too: a record sums what was written before it takes its place.
    hecho = descriptor(openat(en(carpeta.fd()), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (hecho.abierto()) {
        return 0;
    }
    return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? EOPNOTSUPP : errno;
#else
    static_cast<void>(carpeta);
    static_cast<void>(hecho);
    return EOPNOTSUPP;
#endif
}

int crea_exclusivo(const carpeta& carpeta, const char* nombre, descriptor& hecho) {
    hecho = descriptor(
        openat(en(carpeta.fd()), nombre, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return hecho.abierto() ? 0 : errno;
}

int enlaza_sin_nombre(const carpeta& carpeta, int fd, const char* nombre) {
    // The descriptor itself, where the system lets this process link it (a
    // privilege, or since Linux 6.10 a file it opened): no walk of a /proc
    // path for every file. Refused with ENOENT, the /proc path from then on.
    static std::atomic<bool> por_proc{false};
    if (!por_proc.load(std::memory_order_relaxed)) {
        if (linkat(fd, "", en(carpeta.fd()), nombre, AT_EMPTY_PATH) == 0) {
            return 0;
        }
        if (errno != ENOENT && errno != EPERM) {
            return errno;
        }
    }
    const std::string en_proc = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, en_proc.c_str(), en(carpeta.fd()), nombre, AT_SYMLINK_FOLLOW) != 0) {
        return errno;
    }
    por_proc.store(true, std::memory_order_relaxed);
    return 0;
}

int crea_enlace_simbolico(const carpeta& carpeta, const char* nombre, const std::string& objetivo) {
    return symlinkat(objetivo.c_str(), en(carpeta.fd()), nombre) == 0 ? 0 : errno;
}

int crea_enlace_duro(const carpeta& de, const char* original, const carpeta& a,
                     const char* nombre) {
    // Without AT_SYMLINK_FOLLOW: a link there is linked itself, never followed.
    return linkat(en(de.fd()), original, en(a.fd()), nombre, 0) == 0 ? 0 : errno;
}

int copia_atributos_enlace(const carpeta& origen, const std::string& original,
                           const carpeta& carpeta, const char* nombre) {
    struct stat estado;
    if (fstatat(origen.fd(), original.c_str(), &estado, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    // A link's bits mean nothing; its owner is kept where this process may.
    fchownat(en(carpeta.fd()), nombre, estado.st_uid, estado.st_gid, AT_SYMLINK_NOFOLLOW);
    const struct timespec tiempos[2] = {estado.st_atim, estado.st_mtim};
    return utimensat(en(carpeta.fd()), nombre, tiempos, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int crea_carpeta_en(const carpeta& padre, const std::string& nombre, bool* ya_estaba) {
    const char* n = nombre.c_str();
    // Another run may make or remove the same entries meanwhile: a few tries.
    for (int intento = 0; intento < 8; ++intento) {
        if (mkdirat(padre.fd(), n, 0777) == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
        struct stat estado;
        if (fstatat(padre.fd(), n, &estado, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            return errno;
        }
        if (S_ISDIR(estado.st_mode)) {
            if (ya_estaba != nullptr) {
                *ya_estaba = true;
            }
            return 0;
        }
        // A link, file or FIFO where the source has a folder: replaced.
        if (unlinkat(padre.fd(), n, 0) != 0 && errno != ENOENT) {
            return errno;
        }
    }
    return EEXIST;
}

int renombra(const carpeta& carpeta, const char* de, const char* a) {
    return renameat(en(carpeta.fd()), de, en(carpeta.fd()), a) == 0 ? 0 : errno;
}

void borra_entrada(int carpeta, const char* nombre) {
    unlinkat(en(carpeta), nombre, 0);
}

void prepara_temporal(int fd, const nodo_destino& nodo, bool con_nombre) {
    if (nodo.existe) {
        conserva_dueno_y_permisos(fd, nodo.dueno, nodo.grupo, nodo.modo);
    } else if (con_nombre) {
        fchmod(fd, permisos_nuevos());  // a named one was made 0600
    }
}

int copia_atributos(int fd, const atributos_origen& de, nodo* queda) {
    struct timespec tiempos[2];
    tiempos[0].tv_sec = static_cast<time_t>(de.acceso_s);
    tiempos[0].tv_nsec = static_cast<long>(de.acceso_ns);
    tiempos[1].tv_sec = static_cast<time_t>(de.cambio_s);
    tiempos[1].tv_nsec = static_cast<long>(de.cambio_ns);
    // The times first: an owner or bits set after them leave them alone, and
    // the look at the file taken then, which its record needs anyway, tells
    // whether its owner, group and bits are to be set at all. A new file
    // often has them already (this process's own, its folder's group, the
    // bits the umask or a default ACL gave): only what the system says it
    // has is trusted, never what it should have been made with.
    if (futimens(fd, tiempos) != 0) {
        return errno;
    }
    nodo ahora;
    if (const int error = nodo_de_descriptor(fd, ahora); error != 0) {
        return error;
    }
    const std::uint32_t bits = de.modo & 07777;
    if (ahora.dueno != de.dueno || ahora.grupo != de.grupo || ahora.modo != bits) {
        if (const int error = conserva_dueno_y_permisos(fd, de.dueno, de.grupo, bits); error != 0) {
            return error;
        }
        if (const int error = nodo_de_descriptor(fd, ahora); error != 0) {
            return error;
        }
    }
    if (queda != nullptr) {
        *queda = ahora;
    }
    return 0;
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
