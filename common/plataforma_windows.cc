#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "common/carpeta.h"
#include "common/comun_windows.h"
#include "common/ficheros.h"
#include "common/procesos.h"

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

// What the attributes `atributos` make an entry: a reparse point is a link.
clase_nodo clase_de(DWORD atributos) {
    if ((atributos & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return clase_nodo::enlace;
    }
    return (atributos & FILE_ATTRIBUTE_DIRECTORY) != 0 ? clase_nodo::carpeta : clase_nodo::fichero;
}

// The volume and index of the file or folder at `ruta`, as a node.
bool identidad_en(const std::string& ruta, nodo& n) {
    const HANDLE abierto =
        CreateFileA(ruta.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    identidad id{};
    const bool hay = identidad_de(abierto, id);
    if (abierto != INVALID_HANDLE_VALUE) {
        CloseHandle(abierto);
    }
    if (hay) {
        n.dispositivo = id.volumen;
        n.numero = (std::uint64_t{id.indice_alto} << 32) | id.indice_bajo;
    }
    return hay;
}

// `ruta` ending in a separator, as a folder's prefix.
std::string como_prefijo(std::string ruta) {
    if (ruta.empty() || (ruta.back() != '\\' && ruta.back() != '/' && ruta.back() != ':')) {
        ruta += '\\';
    }
    return ruta;
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

int lee_atributos(int fd, atributos_origen& vistos) {
    struct _stat64 estado;
    if (_fstat64(fd, &estado) != 0) {
        return errno;
    }
    vistos = atributos_origen{};
    vistos.tamano = estado.st_size;
    vistos.acceso_s = estado.st_atime;
    vistos.cambio_s = estado.st_mtime;
    return 0;
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

int conserva_dueno_y_permisos(int, std::int64_t, std::int64_t, std::uint32_t) {
    return 0;  // no owners or permission bits to keep
}

bool proceso_vivo(long numero) {
    const HANDLE proceso =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(numero));
    if (proceso == nullptr) {
        return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    }
    DWORD salida = 0;
    const bool vivo = GetExitCodeProcess(proceso, &salida) == 0 || salida == STILL_ACTIVE;
    CloseHandle(proceso);
    return vivo;
}

std::uint64_t descriptores_permitidos() {
    return static_cast<std::uint64_t>(_getmaxstdio());
}

void descriptor::cierra() {
    if (fd_ >= 0) {
        const int error = errno;
        _close(fd_);
        errno = error;
    }
    fd_ = -1;
}

int abre_carpeta(const std::string& ruta, carpeta& abierta) {
    const DWORD atributos = GetFileAttributesA(ruta.c_str());
    if (atributos == INVALID_FILE_ATTRIBUTES) {
        return error_de_sistema(GetLastError());
    }
    if ((atributos & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ENOTDIR;
    }
    abierta = carpeta::de_prefijo(como_prefijo(ruta));
    return 0;
}

// A volume mounted on a folder is a reparse point, which abre_carpeta_bajo
// refuses on the way: a folder it opened is on its base's volume.
int mismo_montaje(const carpeta& /*raiz*/, const carpeta& /*dentro*/) {
    return 0;
}

int abre_carpeta_bajo(const carpeta& base, const std::string& ruta, carpeta& abierta, nodo& visto) {
    // Name by name: a link (a reparse point) on the way is refused.
    std::string camino = base.prefijo();
    for (std::size_t i = 0; i < ruta.size();) {
        const std::size_t barra = std::min(ruta.find('/', i), ruta.size());
        camino += ruta.substr(i, barra - i);
        const DWORD atributos = GetFileAttributesA(camino.c_str());
        if (atributos == INVALID_FILE_ATTRIBUTES) {
            return error_de_sistema(GetLastError());
        }
        if (clase_de(atributos) != clase_nodo::carpeta) {
            return clase_de(atributos) == clase_nodo::enlace ? ELOOP : ENOTDIR;
        }
        camino += '\\';
        i = barra + 1;
    }
    visto = nodo{};
    visto.clase = clase_nodo::carpeta;
    identidad_en(camino, visto);
    abierta = carpeta::de_prefijo(camino);
    return 0;
}

int abre_o_crea_carpeta(const std::string& ruta, bool crea, carpeta& abierta, bool& existe,
                        std::vector<std::string>* faltaban) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path absoluta = fs::absolute(fs::u8path(ruta), error).lexically_normal();
    // The names missing below the nearest folder that exists.
    const auto anota_faltan = [&](const fs::path& arriba) {
        if (faltaban != nullptr) {
            faltaban->clear();
            for (const fs::path& nombre : absoluta.lexically_relative(arriba)) {
                if (!nombre.empty() && nombre != ".") {
                    faltaban->push_back(nombre.u8string());
                }
            }
        }
    };
    if (crea && !fs::is_directory(fs::u8path(ruta), error)) {
        fs::path arriba = absoluta;
        while (!fs::is_directory(arriba, error) && arriba.has_relative_path()) {
            arriba = arriba.parent_path();
        }
        anota_faltan(arriba);
    } else if (faltaban != nullptr) {
        faltaban->clear();
    }
    if (crea) {
        fs::create_directories(fs::u8path(ruta), error);
        if (error) {
            return error.value();
        }
    }
    existe = fs::is_directory(fs::u8path(ruta), error);
    if (existe) {
        return abre_carpeta(ruta, abierta);
    }
    if (fs::exists(fs::u8path(ruta), error)) {
        return ENOTDIR;
    }
    // The nearest folder that exists, where it would be made.
    fs::path arriba = absoluta;
    while (!fs::is_directory(arriba, error) && arriba.has_relative_path()) {
        arriba = arriba.parent_path();
    }
    anota_faltan(arriba);
    return abre_carpeta(arriba.u8string(), abierta);
}

int lista_carpeta(const carpeta& c, std::vector<std::pair<std::string, nodo>>& entradas,
                  const std::string& empiezan) {
    WIN32_FIND_DATAA datos;
    const HANDLE busqueda = FindFirstFileA((c.prefijo() + "*").c_str(), &datos);
    if (busqueda == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : error_de_sistema(GetLastError());
    }
    do {
        const std::string nombre = datos.cFileName;
        if (nombre == "." || nombre == ".." || nombre.compare(0, empiezan.size(), empiezan) != 0) {
            continue;
        }
        nodo visto;
        visto.clase = clase_de(datos.dwFileAttributes);
        visto.tamano = static_cast<std::int64_t>((std::uint64_t{datos.nFileSizeHigh} << 32) |
                                                 datos.nFileSizeLow);
        entradas.emplace_back(nombre, visto);
    } while (FindNextFileA(busqueda, &datos) != 0);
    const int error = GetLastError() == ERROR_NO_MORE_FILES ? 0 : error_de_sistema(GetLastError());
    FindClose(busqueda);
    return error;
}

int examina_en(const carpeta& c, const std::string& nombre, nodo& visto) {
    visto = nodo{};
    WIN32_FILE_ATTRIBUTE_DATA datos;
    if (GetFileAttributesExA((c.prefijo() + nombre).c_str(), GetFileExInfoStandard, &datos) == 0) {
        const int error = error_de_sistema(GetLastError());
        return error == ENOENT ? 0 : error;
    }
    visto.clase = clase_de(datos.dwFileAttributes);
    visto.tamano =
        static_cast<std::int64_t>((std::uint64_t{datos.nFileSizeHigh} << 32) | datos.nFileSizeLow);
    return 0;
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

int ascendencia(const carpeta& c, std::vector<nodo>& cadena) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path camino = fs::weakly_canonical(fs::absolute(fs::u8path(c.prefijo()), error), error);
    if (error) {
        return error.value();
    }
    for (;;) {
        nodo n;
        n.clase = clase_nodo::carpeta;
        if (!camino.empty() && identidad_en(camino.u8string(), n)) {
            cadena.push_back(n);
        }
        if (!camino.has_relative_path()) {
            return 0;
        }
        camino = camino.parent_path();
    }
}

int copia_atributos_carpeta(const carpeta&, const carpeta&) {
    return 0;  // no permission bits, owners or folder times kept here
}

bool atributos_iguales(const nodo&, const nodo&) {
    return true;  // none kept
}

int deja_escribir_en(const carpeta&) {
    return 0;  // a folder's read-only attribute does not keep files from being made in it
}

int lee_marca_en(const carpeta& c, const std::string& nombre, nodo& visto, std::string& marca) {
    marca.clear();
    const int error = examina_en(c, nombre, visto);
    // No records here: every file is written again.
    return error != 0 ? error : ENOTSUP;
}

int nodo_de_descriptor(int fd, nodo& visto) {
    struct _stat64 estado;
    if (_fstat64(fd, &estado) != 0) {
        return errno;
    }
    visto = nodo{};
    visto.clase = (estado.st_mode & _S_IFREG) != 0 ? clase_nodo::fichero : clase_nodo::otro;
    visto.tamano = estado.st_size;
    return 0;
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

int pon_marca(int, const std::string&) {
    return ENOTSUP;
}

namespace {

// Where `ruta` leads once every link on it is followed, in lower case, or ""
// when it cannot be opened (a link that leads nowhere).
std::string ruta_final(const std::string& ruta) {
    const HANDLE abierto =
        CreateFileA(ruta.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (abierto == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    char final[MAX_PATH * 4];
    const DWORD n = GetFinalPathNameByHandleA(abierto, final, sizeof final, FILE_NAME_NORMALIZED);
    CloseHandle(abierto);
    std::string camino = n > 0 && n < sizeof final ? std::string(final, n) : std::string();
    std::transform(camino.begin(), camino.end(), camino.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return camino;
}

// Removes the entry at `ruta`, seen as `visto`, and what it holds, only where
// it leads beneath `dentro` (the final path of the folder it is removed
// from): a link the system shows as a plain file or folder (Wine shows
// POSIX links so) is never followed out of it.
// Not an error number: a folder kept, since something in it is left alone.
constexpr int kQueda = -1;

int borra_ruta(const std::string& ruta, const std::string& relativa, const nodo& visto,
               const std::string& dentro, bool simula,
               const std::function<void(const std::string&, const nodo&, int)>& avisa,
               const std::function<bool(const std::string&, const nodo&)>& deja) {
    const std::string final = ruta_final(ruta);
    if (!final.empty() &&
        (dentro.empty() || final.compare(0, dentro.size() + 1, dentro + "\\") != 0)) {
        avisa(relativa, visto, EXDEV);
        return EXDEV;
    }
    int primero = 0;
    if (visto.clase == clase_nodo::carpeta) {
        // A reparse point is a link: removed itself below, never entered.
        std::vector<std::pair<std::string, nodo>> entradas;
        primero = lista_carpeta(carpeta::de_prefijo(ruta + "\\"), entradas);
        std::sort(entradas.begin(), entradas.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        bool queda = false;
        for (const auto& [hijo, suyo] : entradas) {
            const std::string suya = relativa + "/" + hijo;
            const int e = deja && deja(suya, suyo) ? kQueda
                                                   : borra_ruta(ruta + "\\" + hijo, suya, suyo,
                                                                final, simula, avisa, deja);
            queda = queda || e == kQueda;
            primero = primero != 0 || e == kQueda ? primero : e;
        }
        if (primero != 0) {
            avisa(relativa, visto, primero);
            return primero;
        }
        if (queda) {
            return kQueda;
        }
    }
    int error = 0;
    if (!simula) {
        const bool es_carpeta = (GetFileAttributesA(ruta.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const BOOL hecho = es_carpeta ? RemoveDirectoryA(ruta.c_str()) : DeleteFileA(ruta.c_str());
        error = hecho != 0 ? 0 : error_de_sistema(GetLastError());
    }
    avisa(relativa, visto, error);
    return error;
}

}  // namespace

int borra_arbol_en(const carpeta& c, const std::string& nombre, bool simula,
                   const std::function<bool(const nodo&)>&,
                   const std::function<void(const std::string&, const nodo&, int)>& avisa,
                   const std::function<bool(const std::string&, const nodo&)>& deja) {
    nodo visto;
    if (const int error = examina_en(c, nombre, visto); error != 0) {
        return error;
    }
    if (visto.clase == clase_nodo::ninguno) {
        return 0;
    }
    std::string dentro = ruta_final(c.prefijo());
    while (!dentro.empty() && (dentro.back() == '\\' || dentro.back() == '/')) {
        dentro.pop_back();
    }
    const int error = borra_ruta(c.prefijo() + nombre, nombre, visto, dentro, simula, avisa, deja);
    return error == kQueda ? 0 : error;
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
