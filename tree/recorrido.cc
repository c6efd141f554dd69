#include "tree/recorrido.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool coincide_desde(std::string_view patron, std::string_view texto) {
    if (patron.empty()) {
        return texto.empty();
    }
    if (patron[0] == '*') {
        for (std::size_t i = 0;; ++i) {
            if (coincide_desde(patron.substr(1), texto.substr(i))) {
                return true;
            }
            if (i == texto.size() || texto[i] == '/') {
                return false;
            }
        }
    }
    return !texto.empty() && (patron[0] == texto[0] || (patron[0] == '?' && texto[0] != '/')) &&
           coincide_desde(patron.substr(1), texto.substr(1));
}

bool excluida(std::string_view ruta, const filtro& que) {
    return std::any_of(que.excluidos.begin(), que.excluidos.end(),
                       [ruta](const std::string& patron) { return coincide_patron(patron, ruta); });
}

// Adds the entries of the folder `carpeta`, at `relativa` under the root.
void anade_carpeta(const fs::path& carpeta, const std::string& relativa, const filtro& que,
                   std::vector<entrada>& entradas, std::vector<fallo_recorrido>& fallos) {
    std::error_code error;
    fs::directory_iterator i(carpeta, error);
    for (; !error && i != fs::directory_iterator(); i.increment(error)) {
        const std::string nombre = i->path().filename().string();
        const std::string ruta = relativa.empty() ? nombre : relativa + "/" + nombre;
        if (excluida(ruta, que)) {
            continue;
        }
        std::error_code de_estado;
        const fs::file_status estado = i->symlink_status(de_estado);
        if (fs::is_symlink(estado)) {
            entradas.push_back({ruta, tipo_entrada::enlace});
        } else if (fs::is_directory(estado)) {
            entradas.push_back({ruta, tipo_entrada::carpeta});
            anade_carpeta(i->path(), ruta, que, entradas, fallos);
        } else if (!fs::is_regular_file(estado)) {
            entradas.push_back({ruta, tipo_entrada::especial});
        } else if (tiene_extension(nombre, que.extensiones)) {
            entradas.push_back({ruta, tipo_entrada::php});
        } else if (!que.solo_php) {
            entradas.push_back({ruta, tipo_entrada::otro});
        }
    }
    if (error) {
        fallos.push_back({relativa.empty() ? "." : relativa, error.value()});
    }
}

}  // namespace

bool coincide_patron(std::string_view patron, std::string_view ruta) {
    if (patron.find('/') == std::string_view::npos) {
        const std::size_t barra = ruta.rfind('/');
        ruta = barra == std::string_view::npos ? ruta : ruta.substr(barra + 1);
    }
    return coincide_desde(patron, ruta);
}

bool tiene_extension(std::string_view nombre, const std::vector<std::string>& extensiones) {
    const std::size_t punto = nombre.rfind('.');
    if (punto == std::string_view::npos || punto == 0) {
        return false;
    }
    const std::string_view extension = nombre.substr(punto + 1);
    return std::any_of(extensiones.begin(), extensiones.end(), [extension](const std::string& e) {
        return e.size() == extension.size() &&
               std::equal(e.begin(), e.end(), extension.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    });
}

std::vector<entrada> recorre(const fs::path& raiz, const filtro& que,
                             std::vector<fallo_recorrido>& fallos) {
    std::vector<entrada> entradas;
    anade_carpeta(raiz, "", que, entradas, fallos);
    std::sort(entradas.begin(), entradas.end(),
              [](const entrada& a, const entrada& b) { return a.ruta < b.ruta; });
    return entradas;
}
