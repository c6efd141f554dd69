#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
#include "common/plataforma.h"

namespace kexo {

namespace {

bool estado_de(std::FILE* archivo, struct stat& estado) {
    return fstat(fileno(archivo), &estado) == 0;
}

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
    n.tiempo = static_cast<std::int64_t>(estado.st_mtim.tv_sec) * 1000000000 +
               static_cast<std::int64_t>(estado.st_mtim.tv_nsec);
    n.modo = static_cast<std::uint32_t>(estado.st_mode & 07777);
    n.dueno = static_cast<std::int64_t>(estado.st_uid);
    n.grupo = static_cast<std::int64_t>(estado.st_gid);
    return n;
}

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

}  // namespace

bool es_directorio(std::FILE* origen) {
    struct stat estado;
    return estado_de(origen, estado) && S_ISDIR(estado.st_mode);
}

std::int64_t tamano_de(std::FILE* origen) {
    struct stat estado;
    return estado_de(origen, estado) && S_ISREG(estado.st_mode) ? estado.st_size : -1;
}

bool mismo_fichero(std::FILE* origen, const char* ruta) {
    struct stat de_origen;
    struct stat de_ruta;
    return estado_de(origen, de_origen) && stat(ruta, &de_ruta) == 0 &&
           de_origen.st_dev == de_ruta.st_dev && de_origen.st_ino == de_ruta.st_ino;
}

extern const char kSeparadorRuta = '/';
extern const bool kHayModoTexto = false;

long numero_de_proceso() {
    return static_cast<long>(getpid());
}

int descriptor_de(std::FILE* flujo) {
    return fileno(flujo);
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

namespace {

// After a read or copy from the source open as `fd` failed: whether to try
// it again, interrupted, or refused for not waiting (now made to wait).
bool otra_vez(int fd) {
    return errno == EINTR || (errno == EAGAIN && lee_esperando(fd));
}

}  // namespace

std::int64_t lee_descriptor(int fd, char* bytes, std::size_t n) {
    ssize_t leidos = 0;
    do {
        leidos = read(fd, bytes, n);
    } while (leidos < 0 && otra_vez(fd));
    return leidos;
}

bool lee_esperando(int fd) {
    const int banderas = fcntl(fd, F_GETFL);
    return banderas >= 0 && (banderas & O_NONBLOCK) != 0 &&
           fcntl(fd, F_SETFL, banderas & ~O_NONBLOCK) == 0;
}

archivo abre_descriptor(descriptor fd, const char* modo) {
    archivo abierto(fdopen(fd.fd(), modo));
    if (abierto) {
        fd.suelta();  // the stream closes it now
    }
    return abierto;
}

archivo abre_si_regular(const char* ruta, const char* modo) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer.
    descriptor fd(open(ruta, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.abierto()) {
        return nullptr;
    }
    struct stat estado;
    if (fstat(fd.fd(), &estado) != 0 || !S_ISREG(estado.st_mode) ||
        fcntl(fd.fd(), F_SETFL, fcntl(fd.fd(), F_GETFL) & ~O_NONBLOCK) != 0) {
        return nullptr;
    }
    return abre_descriptor(std::move(fd), modo);
}

namespace {

// The errors of a copy that come from the side written.
bool es_de_escritura(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS || error == EPERM;
}

// Copies the bytes of `de` from `desde` up to `hasta` (-1: its end) into `a`
// at the same places. Puts in `hasta` where the copy ended, and returns true
// when it met the source's end (before `hasta`, or with no `hasta`).
class copiador {
   public:
    copiador(int de, int a, std::string& bloque) : de_(de), a_(a), bloque_(bloque) {}

    bool copia(off_t desde, off_t& hasta, copia_hecha& hecha) {
        const bool sin_limite = hasta < 0;
        off_t en = desde;
        bool al_final = false;
        visto_al_final_ = false;
        while (!al_final && (sin_limite || en < hasta) && hecha.error == 0) {
            constexpr off_t kTramo = off_t{1} << 30;
            auto n = static_cast<std::size_t>(sin_limite ? kTramo : std::min(kTramo, hasta - en));
            const ssize_t hechos = por_nucleo_ ? por_el_nucleo(en, n) : por_memoria(en, n, hecha);
            if (hechos < 0 && por_nucleo_) {
                if (otra_vez(de_)) {
                    continue;
                }
                if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                    errno == EBADF || errno == ETXTBSY) {
                    por_nucleo_ = false;  // not between these two: through memory
                    continue;
                }
                hecha.error = errno;
                hecha.al_leer = !es_de_escritura(errno);
            } else if (hechos == 0) {
                al_final = true;
            } else if (hechos > 0) {
                en += hechos;
                // Fewer bytes than asked end a regular file on most file
                // systems, not on all: the end is proven by the source's
                // size, told now, being where the copy is; that look is the
                // one the copy's attributes are taken from. Else the copy
                // goes on until a call meets nothing.
                if (sin_limite && static_cast<std::size_t>(hechos) < n &&
                    lee_atributos(de_, visto_) == 0 && visto_.tamano == en) {
                    al_final = true;
                    visto_al_final_ = true;
                }
            }
        }
        hasta = en;
        return al_final || sin_limite;
    }

    // What the source was seen as when the last copy ended at its size, if it did.
    const atributos_origen* visto_al_final() const { return visto_al_final_ ? &visto_ : nullptr; }

   private:
    ssize_t por_el_nucleo(off_t en, std::size_t n) {
#if defined(__linux__)
        loff_t leer = en;
        loff_t escribir = en;
        return copy_file_range(de_, &leer, a_, &escribir, n, 0);
#else
        static_cast<void>(en);
        static_cast<void>(n);
        errno = ENOSYS;
        return -1;
#endif
    }

    // Copies up to `n` bytes, no more than a block: `n` becomes what was asked.
    ssize_t por_memoria(off_t en, std::size_t& n, copia_hecha& hecha) {
        constexpr std::size_t kBloque = std::size_t{1} << 18;
        if (bloque_.size() < kBloque) {
            bloque_.resize(kBloque);
        }
        n = std::min(n, bloque_.size());
        const auto leidos = static_cast<ssize_t>(lee_en(de_, bloque_.data(), n, en));
        if (leidos < 0) {
            hecha.error = errno;
            hecha.al_leer = true;
            return -1;
        }
        for (ssize_t escritos = 0; escritos < leidos;) {
            const ssize_t w = pwrite(a_, bloque_.data() + escritos,
                                     static_cast<std::size_t>(leidos - escritos), en + escritos);
            if (w < 0) {
                hecha.error = errno;
                hecha.al_leer = false;
                return -1;
            }
            escritos += w;
        }
        return leidos;
    }

    int de_;
    int a_;
    std::string& bloque_;
    bool por_nucleo_ = true;
    atributos_origen visto_;
    bool visto_al_final_ = false;
};

}  // namespace

copia_hecha copia_contenido(std::FILE* origen, std::FILE* destino, std::string& bloque,
                            atributos_origen* despues) {
    const int de = fileno(origen);
    const int a = fileno(destino);
    copia_hecha hecha{0, 0, false};
    struct stat estado;
    if (fstat(de, &estado) != 0) {
        return {0, errno, true};
    }
    copiador copia(de, a, bloque);
    // Fewer blocks than bytes: holes, to be skipped rather than written.
    bool con_huecos = estado.st_blocks * 512 < estado.st_size;
    off_t posicion = 0;
    bool copiado = false;  // the last piece was copied (the copy's own look at the source holds)
    for (;;) {
        off_t datos = posicion;
        off_t hueco = -1;
        if (con_huecos) {
            datos = lseek(de, posicion, SEEK_DATA);
            if (datos < 0 && errno == ENXIO) {
                copiado = false;
                break;  // only a hole up to the end
            }
            if (datos < 0) {
                con_huecos = false;  // no holes told here: every byte is copied
                datos = posicion;
            } else {
                hueco = lseek(de, datos, SEEK_HOLE);
            }
        }
        const bool al_final = copia.copia(datos, hueco, hecha);
        copiado = true;
        posicion = hueco;
        if (al_final || hecha.error != 0) {
            break;
        }
    }
    atributos_origen visto;
    if (hecha.error == 0) {
        if (copiado && copia.visto_al_final() != nullptr) {
            visto = *copia.visto_al_final();
        } else if (const int error = lee_atributos(de, visto); error != 0) {
            return {0, error, true};
        }
    }
    // A hole at the end makes the size, not the bytes copied.
    if (hecha.error == 0 && visto.tamano > posicion && ftruncate(a, visto.tamano) != 0) {
        hecha = {0, errno, false};
    }
    hecha.bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(posicion, visto.tamano));
    if (hecha.error == 0 && despues != nullptr) {
        *despues = visto;
    }
    return hecha;
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

bool proceso_vivo(long numero) {
    return numero > 0 && numero <= INT_MAX &&
           (kill(static_cast<pid_t>(numero), 0) == 0 || errno != ESRCH);
}

std::uint64_t descriptores_permitidos() {
    struct rlimit limite;
    if (getrlimit(RLIMIT_NOFILE, &limite) != 0 || limite.rlim_cur == RLIM_INFINITY) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(limite.rlim_cur);
}

void descriptor::cierra() {
    if (fd_ >= 0) {
        const int error = errno;
        close(fd_);
        errno = error;
    }
    fd_ = -1;
}

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

archivo abre_fichero_en(const carpeta& c, const std::string& nombre, nodo& visto) {
    visto = nodo{};
    // O_NOFOLLOW: a link is refused (ELOOP), never followed; O_NONBLOCK: a
    // FIFO opens at once, to be told apart and closed.
    descriptor fd(
        openat(c.fd(), nombre.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.abierto()) {
        if (errno == ELOOP) {
            visto.clase = clase_nodo::enlace;
        } else if (errno == ENXIO) {
            visto.clase = clase_nodo::otro;  // a socket, or a device without its driver
        }
        return nullptr;
    }
    struct stat estado;
    if (fstat(fd.fd(), &estado) != 0) {
        return nullptr;
    }
    visto = nodo_de(estado);
    if (visto.clase != clase_nodo::fichero) {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK stays: a regular file's reads ignore it on Linux, and where
    // a file system honours it, a read refused with EAGAIN clears it and is
    // tried again (lee_esperando), which saves two calls on every file.
    return archivo(sin_buffer(abre_descriptor(std::move(fd), "rb").release()));
}

int lee_enlace_en(const carpeta& c, const std::string& nombre, std::string& objetivo) {
    for (std::size_t sitio = 256;; sitio *= 2) {
        objetivo.resize(sitio);
        const ssize_t n = readlinkat(c.fd(), nombre.c_str(), objetivo.data(), sitio);
        if (n < 0) {
            objetivo.clear();
            return errno;
        }
        if (static_cast<std::size_t>(n) < sitio) {
            objetivo.resize(static_cast<std::size_t>(n));
            return 0;
        }
    }
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
    return copia.modo == modo && copia.tiempo == original.tiempo;
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

namespace {

// The name of the record's extended attribute.
constexpr const char* kMarca = "user.kexo";

// What a missing record or a file system without them makes `errno`.
bool sin_marcas(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

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

namespace {

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

std::int64_t lee_en(int fd, char* bytes, std::size_t n, std::int64_t en) {
    ssize_t leidos = 0;
    do {
        leidos = pread(fd, bytes, n, static_cast<off_t>(en));
    } while (leidos < 0 && otra_vez(fd));
    return leidos;
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

}  // namespace kexo
