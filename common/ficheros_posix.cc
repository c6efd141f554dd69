// Files on POSIX systems: opened, read, copied, made and named relative to
// an open folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "common/carpeta.h"
#include "common/comun_posix.h"
#include "common/ficheros.h"

namespace kexo {

namespace {

bool estado_de(std::FILE* archivo, struct stat& estado) {
    return fstat(fileno(archivo), &estado) == 0;
}

// After a read or copy from the source open as `fd` failed: whether to try
// it again, interrupted, or refused for not waiting (now made to wait).
bool otra_vez(int fd) {
    return errno == EINTR || (errno == EAGAIN && lee_esperando(fd));
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

int descriptor_de(std::FILE* flujo) {
    return fileno(flujo);
}

leido lee_descriptor(int fd, char* bytes, std::size_t n) {
    ssize_t leidos = 0;
    do {
        leidos = read(fd, bytes, n);
    } while (leidos < 0 && otra_vez(fd));
    return leidos < 0 ? leido{0, errno} : leido{static_cast<std::size_t>(leidos), 0};
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
        const leido hecho = lee_en(de_, bloque_.data(), n, en);
        if (hecho.error != 0) {
            hecha.error = hecho.error;
            hecha.al_leer = true;
            return -1;
        }
        const auto leidos = static_cast<ssize_t>(hecho.bytes);
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

void descriptor::cierra() {
    if (fd_ >= 0) {
        const int error = errno;
        close(fd_);
        errno = error;
    }
    fd_ = -1;
}

int abre_fichero_en(const carpeta& c, const std::string& nombre, nodo& visto, archivo& abierto) {
    visto = nodo{};
    abierto.reset();
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
        return errno;
    }
    struct stat estado;
    if (fstat(fd.fd(), &estado) != 0) {
        return errno;
    }
    visto = nodo_de(estado);
    if (visto.clase != clase_nodo::fichero) {
        return EINVAL;
    }
    // O_NONBLOCK stays: a regular file's reads ignore it on Linux, and where
    // a file system honours it, a read refused with EAGAIN clears it and is
    // tried again (lee_esperando), which saves two calls on every file.
    abierto.reset(sin_buffer(abre_descriptor(std::move(fd), "rb").release()));
    return abierto ? 0 : errno;
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

leido lee_en(int fd, char* bytes, std::size_t n, std::int64_t en) {
    ssize_t leidos = 0;
    do {
        leidos = pread(fd, bytes, n, static_cast<off_t>(en));
    } while (leidos < 0 && otra_vez(fd));
    return leidos < 0 ? leido{0, errno} : leido{static_cast<std::size_t>(leidos), 0};
}

int sobrescribe_en(int fd, const char* bytes, std::size_t n, std::int64_t en) {
    while (n > 0) {
        const ssize_t escritos = pwrite(fd, bytes, n, static_cast<off_t>(en));
        if (escritos < 0 && errno == EINTR) {
            continue;
        }
        if (escritos <= 0) {
            return escritos < 0 ? errno : EIO;
        }
        bytes += escritos;
        n -= static_cast<std::size_t>(escritos);
        en += escritos;
    }
    return 0;
}

int anade_por_el_nucleo(int de, std::int64_t en, int a, std::uint64_t n, std::uint64_t& hechos) {
    hechos = 0;
#if defined(__linux__)
    loff_t leer = en;
    while (hechos < n) {
        // Pieces of at most 1 GiB: the call takes no more at once anyway.
        const std::size_t pedidos =
            static_cast<std::size_t>(std::min<std::uint64_t>(n - hechos, std::uint64_t{1} << 30));
        const ssize_t copiados = copy_file_range(de, &leer, a, nullptr, pedidos, 0);
        if (copiados < 0 && errno == EINTR) {
            continue;
        }
        if (copiados < 0) {
            return errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF
                       ? ENOSYS
                       : errno;
        }
        if (copiados == 0) {
            return EIO;  // the source ends before its bytes: not what was written
        }
        hechos += static_cast<std::uint64_t>(copiados);
    }
    return 0;
#else
    static_cast<void>(de);
    static_cast<void>(en);
    static_cast<void>(a);
    return n == 0 ? 0 : ENOSYS;
#endif
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

int renombra(const carpeta& carpeta, const char* de, const char* a) {
    return renameat(en(carpeta.fd()), de, en(carpeta.fd()), a) == 0 ? 0 : errno;
}

void borra_entrada(int carpeta, const char* nombre) {
    unlinkat(en(carpeta), nombre, 0);
}

bool es_salida_estandar(int fd) {
    struct stat salida;
    struct stat escrito;
    return fstat(STDOUT_FILENO, &salida) == 0 && S_ISREG(salida.st_mode) &&
           fstat(fd, &escrito) == 0 && salida.st_dev == escrito.st_dev &&
           salida.st_ino == escrito.st_ino;
}

}  // namespace kexo
