// Files on Windows, named by their whole paths: opened, read, copied, made,
// linked, moved over one another and removed.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/atributos.h"
#include "common/carpeta.h"
#include "common/comun_windows.h"
#include "common/descriptor.h"
#include "common/ficheros.h"

namespace kexo {

namespace {

HANDLE manejador_de(std::FILE* archivo) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(archivo)));
}

}  // namespace

bool es_directorio(std::FILE* origen) {
    struct _stat64 estado;
    return _fstat64(_fileno(origen), &estado) == 0 && (estado.st_mode & _S_IFDIR) != 0;
}

std::int64_t tamano_de(std::FILE* origen) {
    struct _stat64 estado;
    return _fstat64(_fileno(origen), &estado) == 0 && (estado.st_mode & _S_IFREG) != 0
               ? estado.st_size
               : -1;
}

bool mismo_fichero(std::FILE* origen, const char* ruta) {
    // Opened for no access at all, to be compared, not read.
    const HANDLE destino =
        CreateFileA(ruta, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    identidad de_origen{};
    identidad de_destino{};
    const bool iguales = identidad_de(manejador_de(origen), de_origen) &&
                         identidad_de(destino, de_destino) &&
                         de_origen.volumen == de_destino.volumen &&
                         de_origen.indice_alto == de_destino.indice_alto &&
                         de_origen.indice_bajo == de_destino.indice_bajo;
    if (destino != INVALID_HANDLE_VALUE) {
        CloseHandle(destino);
    }
    return iguales;
}

extern const char kSeparadorRuta = '\\';
extern const bool kHayModoTexto = true;

int descriptor_de(std::FILE* flujo) {
    return _fileno(flujo);
}

archivo abre_descriptor(descriptor fd, const char* modo) {
    archivo abierto(_fdopen(fd.fd(), modo));
    if (abierto) {
        fd.suelta();  // the stream closes it now
    }
    return abierto;
}

archivo abre_si_regular(const char* ruta, const char* modo) {
    struct _stat64 estado;
    if (_stat64(ruta, &estado) != 0 || (estado.st_mode & _S_IFREG) == 0) {
        return nullptr;
    }
    return archivo(std::fopen(ruta, modo));
}

leido lee_descriptor(int fd, char* bytes, std::size_t n) {
    const int leidos = _read(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
    return leidos < 0 ? leido{0, errno} : leido{static_cast<std::size_t>(leidos), 0};
}

bool lee_esperando(int) {
    return false;  // reads here always wait
}

copia_hecha copia_contenido(std::FILE* origen, std::FILE* destino, std::string& bloque,
                            atributos_origen* despues) {
    // No holes told here: every byte goes through memory, a block at a time.
    constexpr std::size_t kBloque = std::size_t{1} << 18;
    if (bloque.size() < kBloque) {
        bloque.resize(kBloque);
    }
    copia_hecha hecha{0, 0, false};
    for (;;) {
        errno = 0;
        const std::size_t n = std::fread(bloque.data(), 1, bloque.size(), origen);
        if (std::ferror(origen)) {
            return {hecha.bytes, errno != 0 ? errno : EIO, true};
        }
        errno = 0;
        if (std::fwrite(bloque.data(), 1, n, destino) != n) {
            return {hecha.bytes, errno != 0 ? errno : EIO, false};
        }
        hecha.bytes += n;
        if (n < bloque.size()) {
            if (despues != nullptr) {
                if (const int error = lee_atributos(_fileno(origen), *despues); error != 0) {
                    return {hecha.bytes, error, true};
                }
            }
            return hecha;
        }
    }
}

void descriptor::cierra() {
    if (fd_ >= 0) {
        const int error = errno;
        _close(fd_);
        errno = error;
    }
    fd_ = -1;
}

int abre_fichero_en(const carpeta& c, const std::string& nombre, nodo& visto, archivo& abierto) {
    abierto.reset();
    if (const int error = examina_en(c, nombre, visto); error != 0) {
        return error;
    }
    if (visto.clase != clase_nodo::fichero) {
        return visto.clase == clase_nodo::ninguno ? ENOENT : EINVAL;
    }
    archivo hecho(sin_buffer(std::fopen((c.prefijo() + nombre).c_str(), "rb")));
    if (!hecho) {
        visto.clase = clase_nodo::ninguno;
        return errno;
    }
    struct _stat64 estado;
    if (_fstat64(_fileno(hecho.get()), &estado) != 0 || (estado.st_mode & _S_IFREG) == 0) {
        visto.clase = clase_nodo::otro;  // a device under a file's name
        return EINVAL;
    }
    visto.tamano = estado.st_size;
    abierto = std::move(hecho);
    return 0;
}

int lee_enlace_en(const carpeta& c, const std::string& nombre, std::string& objetivo) {
    std::error_code error;
    objetivo = std::filesystem::read_symlink(std::filesystem::u8path(c.prefijo() + nombre), error)
                   .u8string();
    return error ? EINVAL : 0;
}

leido lee_en(int fd, char* bytes, std::size_t n, std::int64_t en) {
    const __int64 antes = _telli64(fd);
    if (antes < 0 || _lseeki64(fd, en, SEEK_SET) < 0) {
        return {0, errno};
    }
    const leido hecho = lee_descriptor(fd, bytes, n);
    _lseeki64(fd, antes, SEEK_SET);
    return hecho;
}

int sobrescribe_en(int fd, const char* bytes, std::size_t n, std::int64_t en) {
    const __int64 antes = _telli64(fd);
    if (antes < 0 || _lseeki64(fd, en, SEEK_SET) < 0) {
        return errno;
    }
    int error = 0;
    while (n > 0 && error == 0) {
        const int escritos =
            _write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
        if (escritos <= 0) {
            error = escritos < 0 ? errno : EIO;
            break;
        }
        bytes += escritos;
        n -= static_cast<std::size_t>(escritos);
    }
    _lseeki64(fd, antes, SEEK_SET);
    return error;
}

int anade_por_el_nucleo(int, std::int64_t, int, std::uint64_t n, std::uint64_t& hechos) {
    hechos = 0;
    return n == 0 ? 0 : ENOSYS;
}

int crea_sin_nombre(const carpeta&, descriptor&) {
    return EOPNOTSUPP;
}

int crea_exclusivo(const carpeta&, const char* nombre, descriptor& hecho) {
    hecho =
        descriptor(_open(nombre, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE));
    return hecho.abierto() ? 0 : errno;
}

int enlaza_sin_nombre(const carpeta&, int, const char*) {
    return ENOSYS;
}

int crea_enlace_simbolico(const carpeta& carpeta, const char* nombre, const std::string& objetivo) {
    // A link to a folder says so; without the privilege, only in developer mode.
    const bool absoluto = !objetivo.empty() && (objetivo[0] == '\\' || objetivo[0] == '/' ||
                                                objetivo.find(':') != std::string::npos);
    const std::string apuntado = absoluto ? objetivo : carpeta.prefijo() + objetivo;
    const DWORD atributos = GetFileAttributesA(apuntado.c_str());
    DWORD banderas = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (atributos != INVALID_FILE_ATTRIBUTES && (atributos & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        banderas |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    }
    return CreateSymbolicLinkA(nombre, objetivo.c_str(), banderas) != 0
               ? 0
               : error_de_sistema(GetLastError());
}

int crea_enlace_duro(const carpeta&, const char* original, const carpeta&, const char* nombre) {
    return CreateHardLinkA(nombre, original, nullptr) != 0 ? 0 : error_de_sistema(GetLastError());
}

int renombra(const carpeta&, const char* de, const char* a) {
    constexpr DWORD kReemplaza = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExA(de, a, kReemplaza) != 0) {
        return 0;
    }
    DWORD fallo = GetLastError();
    // A read-only file is replaced as any other: what its folder allows.
    const DWORD atributos = GetFileAttributesA(a);
    if (fallo == ERROR_ACCESS_DENIED && atributos != INVALID_FILE_ATTRIBUTES &&
        (atributos & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesA(a, atributos & ~DWORD{FILE_ATTRIBUTE_READONLY}) != 0) {
        if (MoveFileExA(de, a, kReemplaza) != 0) {
            return 0;
        }
        fallo = GetLastError();
        SetFileAttributesA(a, atributos);
    }
    return error_de_sistema(fallo);
}

void borra_entrada(int, const char* nombre) {
    _unlink(nombre);
}

bool es_salida_estandar(int) {
    return false;
}

int error_de_sistema(unsigned long codigo) {
    switch (codigo) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_DISK_FULL:
            return ENOSPC;
        case ERROR_PRIVILEGE_NOT_HELD:
            return EPERM;
        default:
            return EIO;
    }
}

}  // namespace kexo
