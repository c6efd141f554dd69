// Files and folders on Windows, named by their whole paths: made, linked,
// moved over one another and removed.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

#include <cerrno>
#include <string>

#include "common/atributos.h"
#include "common/carpeta.h"
#include "common/comun_windows.h"
#include "common/ficheros.h"

namespace kexo {

namespace {

// The folder part of `ruta`, ending in a separator, or "" for a bare name.
std::string carpeta_de(const std::string& ruta) {
    const std::size_t separador = ruta.find_last_of("\\/:");
    return separador == std::string::npos ? std::string() : ruta.substr(0, separador + 1);
}

}  // namespace

int abre_carpeta_de(const std::string& ruta, carpeta& abierta, std::string& nombre) {
    abierta = carpeta::de_prefijo(carpeta_de(ruta));
    nombre = ruta;
    return 0;
}

int crea_sin_nombre(const carpeta&, descriptor&) {
    return EOPNOTSUPP;
}

int crea_exclusivo(const carpeta&, const char* nombre, descriptor& hecho) {
    hecho =
        descriptor(_open(nombre, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE));
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

int copia_atributos_enlace(const carpeta&, const std::string&, const carpeta&, const char*) {
    return 0;  // a link's owner and times are not kept here
}

int crea_carpeta_en(const carpeta& padre, const std::string& nombre, bool* ya_estaba) {
    const std::string ruta = padre.prefijo() + nombre;
    for (int intento = 0; intento < 8; ++intento) {
        if (CreateDirectoryA(ruta.c_str(), nullptr) != 0) {
            return 0;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return error_de_sistema(GetLastError());
        }
        const DWORD atributos = GetFileAttributesA(ruta.c_str());
        if (atributos == INVALID_FILE_ATTRIBUTES) {
            continue;  // removed meanwhile
        }
        const bool es_carpeta = (atributos & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (es_carpeta && (atributos & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            if (ya_estaba != nullptr) {
                *ya_estaba = true;
            }
            return 0;
        }
        // A link or a file where the source has a folder: the entry itself is
        // removed (a link to a folder by either call, as systems differ).
        if ((!es_carpeta || RemoveDirectoryA(ruta.c_str()) == 0) &&
            DeleteFileA(ruta.c_str()) == 0 && GetLastError() != ERROR_FILE_NOT_FOUND) {
            return error_de_sistema(GetLastError());
        }
    }
    return EEXIST;
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

int copia_atributos(int fd, const atributos_origen& de, nodo* queda) {
    // The times only: a read-only file could not be moved into place.
    struct __utimbuf64 tiempos = {de.acceso_s, de.cambio_s};
    if (_futime64(fd, &tiempos) != 0) {
        return errno;
    }
    return queda != nullptr ? nodo_de_descriptor(fd, *queda) : 0;
}

bool es_salida_estandar(int) {
    return false;
}

}  // namespace kexo
