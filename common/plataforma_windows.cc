#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "common/plataforma.h"

namespace kexo {

namespace {

// The volume and index that identify a file, however it is named.
struct identidad {
    DWORD volumen;
    DWORD indice_alto;
    DWORD indice_bajo;
};

bool identidad_de(HANDLE archivo, identidad& id) {
    BY_HANDLE_FILE_INFORMATION datos;
    if (archivo == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(archivo, &datos)) {
        return false;
    }
    id = {datos.dwVolumeSerialNumber, datos.nFileIndexHigh, datos.nFileIndexLow};
    return true;
}

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

long numero_de_proceso() {
    return static_cast<long>(_getpid());
}

int descriptor_de(std::FILE* flujo) {
    return _fileno(flujo);
}

archivo abre_descriptor(int fd, const char* modo) {
    archivo abierto(_fdopen(fd, modo));
    if (!abierto) {
        const int error = errno;
        _close(fd);
        errno = error;
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

}  // namespace kexo
