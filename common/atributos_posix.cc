// What a file is on POSIX systems, and a copy given its original's owner,
// bits and times; the record kept in an extended attribute.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "common/atributos.h"
#include "common/carpeta.h"
#include "common/comun_posix.h"
#include "common/ficheros.h"

namespace kexo {

nodo nodo_de(const struct stat& estado) {
    nodo n;
    switch (estado.st_mode & S_IFMT) {
        case S_IFDIR:
            n.clase = clase_nodo::carpeta;
            break;
        case S_IFREG:
            n.clase = clase_nodo::fichero;
            break;
        case S_IFLNK:
            n.clase = clase_nodo::enlace;
            break;
        default:
            n.clase = clase_nodo::otro;
            break;
    }
    n.dispositivo = static_cast<std::uint64_t>(estado.st_dev);
    n.numero = static_cast<std::uint64_t>(estado.st_ino);
    n.nombres = static_cast<std::uint64_t>(estado.st_nlink);
    n.tamano = static_cast<std::int64_t>(estado.st_size);
    // In unsigned arithmetic: a time past 2262 (planted, or a far date a file
    // system allows) wraps, as a number that tells it apart, instead of
    // overflowing.
    n.tiempo =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(estado.st_mtim.tv_sec) * 1000000000u +
                                  static_cast<std::uint64_t>(estado.st_mtim.tv_nsec));
    n.modo = static_cast<std::uint32_t>(estado.st_mode & 07777);
    n.dueno = static_cast<std::int64_t>(estado.st_uid);
    n.grupo = static_cast<std::int64_t>(estado.st_gid);
    return n;
}

int lee_atributos(int fd, atributos_origen& vistos) {
    struct stat estado;
    if (fstat(fd, &estado) != 0) {
        return errno;
    }
    vistos.tamano = static_cast<std::int64_t>(estado.st_size);
    vistos.dueno = static_cast<std::int64_t>(estado.st_uid);
    vistos.grupo = static_cast<std::int64_t>(estado.st_gid);
    vistos.modo = static_cast<std::uint32_t>(estado.st_mode & 07777);
    vistos.acceso_s = static_cast<std::int64_t>(estado.st_atim.tv_sec);
    vistos.acceso_ns = static_cast<std::int64_t>(estado.st_atim.tv_nsec);
    vistos.cambio_s = static_cast<std::int64_t>(estado.st_mtim.tv_sec);
    vistos.cambio_ns = static_cast<std::int64_t>(estado.st_mtim.tv_nsec);
    return 0;
}

int conserva_dueno_y_permisos(int fd, std::int64_t dueno, std::int64_t grupo, std::uint32_t modo) {
    const auto uid = static_cast<uid_t>(dueno);
    const auto gid = static_cast<gid_t>(grupo);
    auto bits = static_cast<mode_t>(modo & 07777);
    if (fchown(fd, uid, gid) != 0) {
        const bool con_grupo = fchown(fd, static_cast<uid_t>(-1), gid) == 0;
        struct stat ahora;
        if (fstat(fd, &ahora) != 0) {
            return errno;
        }
        if (ahora.st_uid != uid) {
            bits &= static_cast<mode_t>(~S_ISUID);
        }
        if (!con_grupo && ahora.st_gid != gid) {
            bits &= static_cast<mode_t>(~S_ISGID);
        }
    }
    return fchmod(fd, bits) == 0 ? 0 : errno;
}

namespace {

// True when this process may give a file the group `grupo`: one of its own.
bool es_grupo_mio(std::int64_t grupo) {
    static const std::vector<std::int64_t> mios = [] {
        std::vector<std::int64_t> todos{static_cast<std::int64_t>(getegid())};
        const int n = getgroups(0, nullptr);
        std::vector<gid_t> otros(static_cast<std::size_t>(std::max(n, 0)));
        if (n > 0 && getgroups(n, otros.data()) == n) {
            todos.insert(todos.end(), otros.begin(), otros.end());
        }
        return todos;
    }();
    return std::find(mios.begin(), mios.end(), grupo) != mios.end();
}

}  // namespace

bool atributos_iguales(const nodo& original, const nodo& copia) {
    // What conserva_dueno_y_permisos gives: an owner or group this process
    // cannot give stays as made, and takes setuid or setgid with it.
    static const auto yo = static_cast<std::int64_t>(geteuid());
    const bool mismo_dueno = copia.dueno == original.dueno;
    const bool mismo_grupo = copia.grupo == original.grupo;
    if ((!mismo_dueno && (yo == 0 || original.dueno == yo)) ||
        (!mismo_grupo && (yo == 0 || es_grupo_mio(original.grupo)))) {
        return false;
    }
    std::uint32_t modo = original.modo;
    if (!mismo_dueno) {
        modo &= ~static_cast<std::uint32_t>(S_ISUID);
    }
    if (!mismo_grupo) {
        modo &= ~static_cast<std::uint32_t>(S_ISGID);
    }
    return copia.modo == modo && mismo_tiempo(original.tiempo, copia.tiempo);
}

int deja_escribir_en(const carpeta& c) {
    struct stat estado;
    if (fstat(c.fd(), &estado) != 0) {
        return errno;
    }
    if ((estado.st_mode & S_IWUSR) != 0 || estado.st_uid != geteuid()) {
        return 0;  // writable already, or not this process's to change
    }
    return fchmod(c.fd(), (estado.st_mode & 07777) | S_IWUSR | S_IXUSR) == 0 ? 0 : errno;
}

int copia_atributos_carpeta(const carpeta& original, const carpeta& copia) {
    struct stat estado;
    struct stat ya;
    if (fstat(original.fd(), &estado) != 0 || fstat(copia.fd(), &ya) != 0) {
        return errno;
    }
    if (atributos_iguales(nodo_de(estado), nodo_de(ya))) {
        return 0;
    }
    const struct timespec tiempos[2] = {estado.st_atim, estado.st_mtim};
    // An owner, group and bits the copy has already, as just seen, are not set again.
    const bool mismos = ya.st_uid == estado.st_uid && ya.st_gid == estado.st_gid &&
                        (ya.st_mode & 07777) == (estado.st_mode & 07777);
    if (!mismos) {
        if (const int error =
                conserva_dueno_y_permisos(copia.fd(), estado.st_uid, estado.st_gid, estado.st_mode);
            error != 0) {
            return error;
        }
    }
    return futimens(copia.fd(), tiempos) == 0 ? 0 : errno;
}

int hace_ejecutable(int fd) {
    struct stat estado;
    if (fstat(fd, &estado) != 0) {
        return errno;
    }
    const mode_t bits = estado.st_mode & 07777;
    return fchmod(fd, bits | ((bits & 0444) >> 2)) == 0 ? 0 : errno;
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

namespace {

// The name of the record's extended attribute.
constexpr const char* kMarca = "user.kexo";

// What a missing record or a file system without them makes `errno`.
bool sin_marcas(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

#if defined(__linux__)
// Linux 6.13's call for an attribute of an entry named in a folder.
constexpr long kGetxattrat = 464;
struct argumentos_xattr {
    std::uint64_t valor;
    std::uint32_t tamano;
    std::uint32_t banderas;
};
#endif

// The record of the entry `nombre` of `c`, its link not followed, in two
// calls where the kernel has getxattrat. Returns 1 when done so (`error`
// then says how), 0 where the kernel lacks the call.
int lee_marca_por_nombre(const carpeta& c, const std::string& nombre, nodo& visto,
                         std::string& marca, int& error) {
#if defined(__linux__)
    static std::atomic<bool> sin_llamada{false};
    if (sin_llamada.load(std::memory_order_relaxed)) {
        return 0;
    }
    error = examina_en(c, nombre, visto);
    if (error != 0 || visto.clase != clase_nodo::fichero) {
        return 1;
    }
    char valor[512];
    argumentos_xattr argumentos{reinterpret_cast<std::uintptr_t>(valor), sizeof valor, 0};
    const long n = syscall(kGetxattrat, c.fd(), nombre.c_str(), AT_SYMLINK_NOFOLLOW, kMarca,
                           &argumentos, sizeof argumentos);
    if (n >= 0) {
        marca.assign(valor, static_cast<std::size_t>(n));
    } else if (errno == ENOSYS || errno == EPERM) {
        // An older kernel, or a filter that refuses the call.
        sin_llamada.store(true, std::memory_order_relaxed);
        return 0;
    } else if (errno != ENODATA && errno != ERANGE) {
        error = sin_marcas(errno) ? ENOTSUP : errno;
    }
    return 1;
#else
    static_cast<void>(c);
    static_cast<void>(nombre);
    static_cast<void>(visto);
    static_cast<void>(marca);
    static_cast<void>(error);
    return 0;
#endif
}

}  // namespace

int lee_marca_en(const carpeta& c, const std::string& nombre, nodo& visto, std::string& marca) {
    marca.clear();
    visto = nodo{};
    if (int error = 0; lee_marca_por_nombre(c, nombre, visto, marca, error) != 0) {
        return error;
    }
    visto = nodo{};
    const descriptor fd(
        openat(c.fd(), nombre.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.abierto()) {
        const int error = errno;
        if (error == ENOENT) {
            return 0;
        }
        // A link, a socket, or a folder that may not be read: what it is, by name.
        return examina_en(c, nombre, visto) == 0 && visto.clase != clase_nodo::ninguno ? 0 : error;
    }
    struct stat estado;
    if (fstat(fd.fd(), &estado) != 0) {
        return errno;
    }
    visto = nodo_de(estado);
    int error = 0;
    if (visto.clase == clase_nodo::fichero) {
        char valor[512];
        const ssize_t n = fgetxattr(fd.fd(), kMarca, valor, sizeof valor);
        if (n >= 0) {
            marca.assign(valor, static_cast<std::size_t>(n));
        } else if (errno != ENODATA && errno != ERANGE) {
            error = sin_marcas(errno) ? ENOTSUP : errno;
        }
    }
    return error;
}

int nodo_de_descriptor(int fd, nodo& visto) {
    struct stat estado;
    if (fstat(fd, &estado) != 0) {
        return errno;
    }
    visto = nodo_de(estado);
    return 0;
}

int pon_marca(int fd, const std::string& marca) {
    if (fsetxattr(fd, kMarca, marca.data(), marca.size(), 0) == 0) {
        return 0;
    }
    int error = errno;
    struct stat estado;
    // A user's attribute needs the file writable, whatever the descriptor: a
    // read-only file is made writable to its owner for the while, its bits
    // then given back (only its change time moves).
    if (error == EACCES && fstat(fd, &estado) == 0 && (estado.st_mode & S_IWUSR) == 0 &&
        fchmod(fd, (estado.st_mode & 07777) | S_IWUSR) == 0) {
        error = fsetxattr(fd, kMarca, marca.data(), marca.size(), 0) == 0 ? 0 : errno;
        if (fchmod(fd, estado.st_mode & 07777) != 0) {
            // Its bits could not be given back: no record, so that the next run writes it.
            fremovexattr(fd, kMarca);
            return errno;
        }
        if (error == 0) {
            return 0;
        }
    }
    return sin_marcas(error) ? ENOTSUP : error;
}

}  // namespace kexo
