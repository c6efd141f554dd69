// Folders on POSIX systems: opened beneath one another without following a
// link, listed, made and removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include "common/carpeta.h"
#include "common/comun_posix.h"

namespace kexo {

namespace {

// The names of `ruta`, split at each `/`, without empty ones.
std::vector<std::string> nombres_de(const std::string& ruta) {
    std::vector<std::string> nombres;
    for (std::size_t i = 0; i <= ruta.size();) {
        const std::size_t barra = std::min(ruta.find('/', i), ruta.size());
        if (barra > i) {
            nombres.push_back(ruta.substr(i, barra - i));
        }
        i = barra + 1;
    }
    return nombres;
}

// Opens `ruta` beneath the folder open as `base` with `banderas`, following
// no link anywhere on the way: in one call where the kernel has openat2,
// else name by name. Returns the descriptor, closed with errno when it cannot.
descriptor abre_bajo(int base, const std::string& ruta, int banderas) {
#if defined(__linux__) && defined(SYS_openat2)
    static std::atomic<bool> sin_openat2{false};
    if (!ruta.empty() && !sin_openat2.load(std::memory_order_relaxed)) {
        open_how como{};
        como.flags = static_cast<decltype(como.flags)>(banderas | O_NOFOLLOW | O_CLOEXEC);
        como.resolve = static_cast<decltype(como.resolve)>(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
        const long fd = syscall(SYS_openat2, base, ruta.c_str(), &como, sizeof como);
        if (fd >= 0) {
            return descriptor(static_cast<int>(fd));
        }
        // An older kernel, or a filter that refuses the call: name by name.
        // A path too long for one call is taken name by name too.
        if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
            sin_openat2.store(true, std::memory_order_relaxed);
        } else if (errno != ENAMETOOLONG && errno != EAGAIN) {
            return descriptor();
        }
    }
#endif
    const std::vector<std::string> nombres = nombres_de(ruta);
    if (nombres.empty()) {
        return descriptor(openat(base, ".", banderas | O_CLOEXEC));
    }
    descriptor actual;
    for (std::size_t i = 0; i < nombres.size(); ++i) {
        const bool ultimo = i + 1 == nombres.size();
        // The folders on the way need only be passed through.
        descriptor siguiente(
            openat(actual.abierto() ? actual.fd() : base, nombres[i].c_str(),
                   (ultimo ? banderas : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC));
        if (!siguiente.abierto()) {
            return descriptor();
        }
        actual = std::move(siguiente);
    }
    return actual;
}

// The folder part of `ruta`, ending in '/', or "" for a bare name.
std::string carpeta_de(const std::string& ruta) {
    const std::size_t barra = ruta.rfind('/');
    return barra == std::string::npos ? std::string() : ruta.substr(0, barra + 1);
}

}  // namespace

int abre_carpeta(const std::string& ruta, carpeta& abierta) {
    descriptor fd(open(ruta.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
    if (!fd.abierto()) {
        return errno;
    }
    abierta = carpeta::de_descriptor(std::move(fd));
    return 0;
}

int abre_carpeta_bajo(const carpeta& base, const std::string& ruta, carpeta& abierta, nodo& visto) {
    descriptor fd = abre_bajo(base.fd(), ruta, O_RDONLY | O_DIRECTORY);
    if (!fd.abierto()) {
        return errno;
    }
    abierta = carpeta::de_descriptor(std::move(fd));
    struct stat estado;
    if (fstat(abierta.fd(), &estado) != 0) {
        return errno;
    }
    visto = nodo_de(estado);
    return 0;
}

int abre_o_crea_carpeta(const std::string& ruta, bool crea, carpeta& abierta, bool& existe,
                        std::vector<std::string>* faltaban) {
    descriptor actual(
        open(!ruta.empty() && ruta[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!actual.abierto()) {
        return errno;
    }
    // The names past the last folder that exists: none of them can be a link,
    // so a `..` among them takes back the name before it.
    std::vector<std::string> faltan;
    for (const std::string& nombre : nombres_de(ruta)) {
        if (nombre == ".") {
            continue;
        }
        if (!faltan.empty()) {
            if (nombre == "..") {
                faltan.pop_back();
            } else {
                faltan.push_back(nombre);
            }
            continue;
        }
        descriptor siguiente(openat(actual.fd(), nombre.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!siguiente.abierto() && errno == ENOENT && nombre != "..") {
            faltan.push_back(nombre);
            continue;
        }
        if (!siguiente.abierto()) {
            return errno;
        }
        actual = std::move(siguiente);
    }
    existe = faltan.empty();
    if (faltaban != nullptr) {
        *faltaban = faltan;
    }
    for (std::size_t i = 0; crea && i < faltan.size(); ++i) {
        const char* nombre = faltan[i].c_str();
        if (mkdirat(actual.fd(), nombre, 0777) != 0) {
            if (errno != EEXIST) {
                return errno;
            }
            // The folder asked for, made meanwhile by another process: not new.
            if (i + 1 == faltan.size() && faltaban != nullptr) {
                faltaban->clear();
            }
        }
        // Made here, or by another process meanwhile: never through a link.
        descriptor siguiente(
            openat(actual.fd(), nombre, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!siguiente.abierto()) {
            return errno;
        }
        actual = std::move(siguiente);
        existe = i + 1 == faltan.size();
    }
    // Only a folder to be written in need be readable.
    descriptor fd(openat(actual.fd(), ".", (crea ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC));
    if (!fd.abierto()) {
        return errno;
    }
    abierta = carpeta::de_descriptor(std::move(fd));
    return 0;
}

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

namespace {

// Adds the entry `nombre` of `c` to `entradas`, with what it is, unless it is
// `.` or `..`, does not start with `empiezan`, or is gone.
void anade_listada(const carpeta& c, const char* nombre, const std::string& empiezan,
                   std::vector<std::pair<std::string, nodo>>& entradas) {
    if (std::strcmp(nombre, ".") == 0 || std::strcmp(nombre, "..") == 0 ||
        std::strncmp(nombre, empiezan.c_str(), empiezan.size()) != 0) {
        return;
    }
    nodo visto;
    if (examina_en(c, nombre, visto) == 0 && visto.clase != clase_nodo::ninguno) {
        entradas.emplace_back(nombre, visto);
    }
}

#if !defined(__linux__)
struct cierra_listado {
    void operator()(DIR* listado) const { closedir(listado); }
};
#endif

}  // namespace

int lista_carpeta(const carpeta& c, std::vector<std::pair<std::string, nodo>>& entradas,
                  const std::string& empiezan) {
    // Opened again, so that reading moves no position `c` is shared with.
    descriptor fd(openat(c.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.abierto()) {
        return errno;
    }
    int error = 0;
#if defined(__linux__)
    // Read in blocks straight from the system: a stream of entries would
    // first ask again what the folder is and how it was opened.
    constexpr std::size_t kBloque = 32768;
    const std::unique_ptr<char[]> bloque(new char[kBloque]);
    for (;;) {
        const ssize_t leidos = getdents64(fd.fd(), bloque.get(), kBloque);
        if (leidos <= 0) {
            error = leidos < 0 ? errno : 0;
            break;
        }
        for (ssize_t en = 0; en < leidos;) {
            const auto* d = reinterpret_cast<const struct dirent64*>(bloque.get() + en);
            en += d->d_reclen;
            anade_listada(c, d->d_name, empiezan, entradas);
        }
    }
#else
    const std::unique_ptr<DIR, cierra_listado> listado(fdopendir(fd.fd()));
    if (!listado) {
        return errno;
    }
    fd.suelta();  // closedir closes it now
    for (;;) {
        errno = 0;
        const dirent* d = readdir(listado.get());
        if (d == nullptr) {
            error = errno;
            break;
        }
        anade_listada(c, d->d_name, empiezan, entradas);
    }
#endif
    return error;
}

int examina_en(const carpeta& c, const std::string& nombre, nodo& visto) {
    struct stat estado;
    if (fstatat(c.fd(), nombre.c_str(), &estado, AT_SYMLINK_NOFOLLOW) != 0) {
        visto = nodo{};
        return errno == ENOENT ? 0 : errno;
    }
    visto = nodo_de(estado);
    return 0;
}

int ascendencia(const carpeta& c, std::vector<nodo>& cadena) {
    descriptor actual(openat(c.fd(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    // As deep as any path can name, and a bound should `..` never settle.
    for (int nivel = 0; nivel < PATH_MAX; ++nivel) {
        struct stat estado;
        if (!actual.abierto() || fstat(actual.fd(), &estado) != 0) {
            return errno;
        }
        const nodo n = nodo_de(estado);
        if (!cadena.empty() && mismo_nodo(cadena.back(), n)) {
            return 0;  // the root: its `..` is itself
        }
        cadena.push_back(n);
        actual = descriptor(openat(actual.fd(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    return actual.abierto() ? ELOOP : errno;
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

namespace {

// Opens the folder `nombre` of the folder open as `padre` to remove what it
// holds: never through a link, and never where a file system is mounted on
// it, a bind mount of the same one included (EXDEV), since what a mount
// shows is not the destination's. Returns the descriptor, closed with errno
// when it cannot.
descriptor abre_para_borrar(int padre, const std::string& nombre) {
    constexpr int kBanderas = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
#if defined(__linux__) && defined(SYS_openat2)
    open_how como{};
    como.flags = static_cast<decltype(como.flags)>(kBanderas);
    como.resolve = static_cast<decltype(como.resolve)>(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
                                                       RESOLVE_NO_XDEV);
    const long abierto = syscall(SYS_openat2, padre, nombre.c_str(), &como, sizeof como);
    if (abierto >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) {
        return descriptor(static_cast<int>(abierto));
    }
#endif
    descriptor fd(openat(padre, nombre.c_str(), kBanderas));
#if defined(__linux__) && defined(STATX_MNT_ID)
    // Without openat2: the mounts told apart by their numbers, where the kernel gives them.
    struct statx de_padre {};
    struct statx de_hijo {};
    if (fd.abierto() && statx(padre, "", AT_EMPTY_PATH, STATX_MNT_ID, &de_padre) == 0 &&
        statx(fd.fd(), "", AT_EMPTY_PATH, STATX_MNT_ID, &de_hijo) == 0 &&
        (de_padre.stx_mask & de_hijo.stx_mask & STATX_MNT_ID) != 0 &&
        de_padre.stx_mnt_id != de_hijo.stx_mnt_id) {
        fd.cierra();
        errno = EXDEV;
    }
#endif
    return fd;
}

// Not an error number: a folder kept, since something in it is left alone.
constexpr int kQueda = -1;

// Removes the entry `nombre` of the folder open as `padre`, seen as
// `visto`, and all it holds but what `deja` names; `ruta` is its path for
// `avisa` and `deja`. Returns 0, kQueda, or the first error number met.
int borra_en(int padre, const nodo& de_padre, const std::string& nombre, const std::string& ruta,
             const nodo& visto, bool simula, const std::function<bool(const nodo&)>& intocable,
             const std::function<void(const std::string&, const nodo&, int)>& avisa,
             const std::function<bool(const std::string&, const nodo&)>& deja) {
    int primero = 0;
    if (visto.clase == clase_nodo::carpeta && ruta.size() > PATH_MAX) {
        // Deeper than any path this program writes can name: planted, and
        // not followed down, so that its depth cannot exhaust the stack.
        avisa(ruta, visto, ENAMETOOLONG);
        return ENAMETOOLONG;
    }
    if (visto.clase == clase_nodo::carpeta) {
        // Entered only as the folder it was, never through a link, never across a mount.
        carpeta abierta = carpeta::de_descriptor(abre_para_borrar(padre, nombre));
        if (!abierta.abierta()) {
            const int error = errno;
            avisa(ruta, visto, error);
            return error;
        }
        const int fd = abierta.fd();
        struct stat estado;
        int error = fstat(fd, &estado) != 0 ? errno : 0;
        const nodo dentro = error == 0 ? nodo_de(estado) : nodo{};
        if (error == 0 && (!mismo_nodo(dentro, visto) ||
                           dentro.dispositivo != de_padre.dispositivo || intocable(dentro))) {
            error = EXDEV;
        }
        if (error != 0) {
            abierta.cierra();
            avisa(ruta, visto, error);
            return error;
        }
        std::vector<std::pair<std::string, nodo>> entradas;
        primero = lista_carpeta(abierta, entradas);
        std::sort(entradas.begin(), entradas.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        bool queda = false;
        for (const auto& [hijo, suyo] : entradas) {
            const std::string suya = ruta + "/" + hijo;
            const int e = deja && deja(suya, suyo) ? kQueda
                                                   : borra_en(fd, dentro, hijo, suya, suyo, simula,
                                                              intocable, avisa, deja);
            queda = queda || e == kQueda;
            primero = primero != 0 || e == kQueda ? primero : e;
        }
        if (primero != 0) {
            avisa(ruta, visto, primero);
            return primero;
        }
        if (queda) {
            return kQueda;
        }
    }
    int error = 0;
    if (!simula && unlinkat(padre, nombre.c_str(),
                            visto.clase == clase_nodo::carpeta ? AT_REMOVEDIR : 0) != 0) {
        error = errno;
    }
    avisa(ruta, visto, error);
    return error;
}

}  // namespace

int mismo_montaje(const carpeta& raiz, const carpeta& dentro) {
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx de_raiz {};
    struct statx de_dentro {};
    if (statx(raiz.fd(), "", AT_EMPTY_PATH, STATX_MNT_ID, &de_raiz) == 0 &&
        statx(dentro.fd(), "", AT_EMPTY_PATH, STATX_MNT_ID, &de_dentro) == 0 &&
        (de_raiz.stx_mask & de_dentro.stx_mask & STATX_MNT_ID) != 0) {
        return de_raiz.stx_mnt_id == de_dentro.stx_mnt_id ? 0 : EXDEV;
    }
#endif
    struct stat estado_raiz;
    struct stat estado_dentro;
    if (fstat(raiz.fd(), &estado_raiz) != 0 || fstat(dentro.fd(), &estado_dentro) != 0) {
        return errno;
    }
    return estado_raiz.st_dev == estado_dentro.st_dev ? 0 : EXDEV;
}

int borra_arbol_en(const carpeta& c, const std::string& nombre, bool simula,
                   const std::function<bool(const nodo&)>& intocable,
                   const std::function<void(const std::string&, const nodo&, int)>& avisa,
                   const std::function<bool(const std::string&, const nodo&)>& deja) {
    nodo visto;
    nodo de_c;
    struct stat estado;
    if (fstat(c.fd(), &estado) != 0) {
        return errno;
    }
    de_c = nodo_de(estado);
    if (const int error = examina_en(c, nombre, visto); error != 0) {
        return error;
    }
    if (visto.clase == clase_nodo::ninguno) {
        return 0;
    }
    const int error = borra_en(c.fd(), de_c, nombre, nombre, visto, simula, intocable, avisa, deja);
    return error == kQueda ? 0 : error;
}

std::string ultimo_nombre(const std::string& ruta) {
    const std::size_t separador = ruta.find_last_of("/");
    return separador == std::string::npos ? ruta : ruta.substr(separador + 1);
}

}  // namespace kexo
