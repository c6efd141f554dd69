// Folders on Windows, named by their whole paths: opened name by name
// without following a link, listed, made and removed.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/carpeta.h"
#include "common/comun_windows.h"

namespace kexo {

namespace {

// What the attributes `atributos` make an entry: a reparse point is a link.
// A FILETIME (100 ns since 1601) in ns since 1970.
std::int64_t tiempo_unix_ns(const FILETIME& tiempo) {
    constexpr std::int64_t kDe1601a1970 = 116444736000000000;
    const auto unidades = static_cast<std::int64_t>(
        (std::uint64_t{tiempo.dwHighDateTime} << 32 | tiempo.dwLowDateTime) & INT64_MAX);
    constexpr std::int64_t kMaximo = INT64_MAX / 100;
    return std::clamp(unidades - kDe1601a1970, -kMaximo, kMaximo) * 100;
}

// The permission bits a Unix system would show for an entry with `atributos`:
// 0755 for a folder, 0644 for a file, without write bits when read-only.
std::uint32_t bits_de(DWORD atributos) {
    const std::uint32_t bits = (atributos & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0755 : 0644;
    return (atributos & FILE_ATTRIBUTE_READONLY) != 0 ? bits & ~std::uint32_t{0222} : bits;
}

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

// The folder part of `ruta`, ending in a separator, or "" for a bare name.
std::string carpeta_de(const std::string& ruta) {
    const std::size_t separador = ruta.find_last_of("\\/:");
    return separador == std::string::npos ? std::string() : ruta.substr(0, separador + 1);
}

}  // namespace

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

int abre_carpeta_de(const std::string& ruta, carpeta& abierta, std::string& nombre) {
    abierta = carpeta::de_prefijo(carpeta_de(ruta));
    nombre = ruta;
    return 0;
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
        visto.tiempo = tiempo_unix_ns(datos.ftLastWriteTime);
        visto.modo = bits_de(datos.dwFileAttributes);
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
            // Its time and bits too, as the walk tells those of the folders below.
            WIN32_FILE_ATTRIBUTE_DATA datos;
            if (GetFileAttributesExA(camino.u8string().c_str(), GetFileExInfoStandard, &datos) !=
                0) {
                n.tiempo = tiempo_unix_ns(datos.ftLastWriteTime);
                n.modo = bits_de(datos.dwFileAttributes);
            }
            cadena.push_back(n);
        }
        if (!camino.has_relative_path()) {
            return 0;
        }
        camino = camino.parent_path();
    }
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

std::string ultimo_nombre(const std::string& ruta) {
    const std::size_t separador = ruta.find_last_of("\\/:");
    return separador == std::string::npos ? ruta : ruta.substr(separador + 1);
}

}  // namespace kexo
