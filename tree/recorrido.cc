#include "tree/recorrido.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace kexo {

namespace fs = std::filesystem;

namespace {

// True when the name `texto` (no `/` in it) matches `patron`: `*` stands for
// any bytes, `?` for one. Greedy, going back to the last `*` on a mismatch.
bool coincide_nombre(std::string_view patron, std::string_view texto) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t estrella = std::string_view::npos;  // the last `*` seen
    std::size_t tras_estrella = 0;                  // where its match ends so far
    while (t < texto.size()) {
        if (p < patron.size() && (patron[p] == '?' || patron[p] == texto[t])) {
            ++p;
            ++t;
        } else if (p < patron.size() && patron[p] == '*') {
            estrella = p++;
            tras_estrella = t;
        } else if (estrella != std::string_view::npos) {
            p = estrella + 1;
            t = ++tras_estrella;
        } else {
            return false;
        }
    }
    while (p < patron.size() && patron[p] == '*') {
        ++p;
    }
    return p == patron.size();
}

// Matches `ruta` against `patron` name by name: neither `*` nor `?` crosses a `/`.
bool coincide_desde(std::string_view patron, std::string_view ruta) {
    for (;;) {
        const std::size_t fin_patron = std::min(patron.find('/'), patron.size());
        const std::size_t fin_ruta = std::min(ruta.find('/'), ruta.size());
        if (!coincide_nombre(patron.substr(0, fin_patron), ruta.substr(0, fin_ruta))) {
            return false;
        }
        if (fin_patron == patron.size() || fin_ruta == ruta.size()) {
            return fin_patron == patron.size() && fin_ruta == ruta.size();
        }
        patron.remove_prefix(fin_patron + 1);
        ruta.remove_prefix(fin_ruta + 1);
    }
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
        // The kind comes from the folder's listing: no call per entry.
        std::error_code de_tipo;
        if (i->is_symlink(de_tipo)) {
            entradas.push_back({ruta, tipo_entrada::enlace});
        } else if (i->is_directory(de_tipo)) {
            entradas.push_back({ruta, tipo_entrada::carpeta});
            anade_carpeta(i->path(), ruta, que, entradas, fallos);
        } else if (!i->is_regular_file(de_tipo)) {
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

}  // namespace kexo
