// What `git archive` leaves out of a tree: the paths its `.gitattributes`
// files give the attribute `export-ignore`. Each file applies to what lies
// below its folder, a deeper file before a shallower one and, within a file,
// a later line before an earlier one; patterns are read as git reads them in
// attributes files (no `!` patterns; a `/` but a trailing one anchors to the
// file's folder; a trailing `/` matches folders only, as git archive asks
// about a folder with one); `[attr]` macros count from the root's file only.
#ifndef KEXO_TREE_EXPORTACION_H_
#define KEXO_TREE_EXPORTACION_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/carpeta.h"

namespace kexo {

class atributos_exportacion {
   public:
    // Adds the attributes file of the folder `carpeta` (its path from the
    // root, "" for the root itself), whose bytes are `texto`. What git would
    // warn of in it goes to `avisos`, each with the file and the line.
    void anade_fichero(const std::string& carpeta, std::string_view texto,
                       std::vector<std::string>& avisos);

    // True when the path `ruta` itself has `export-ignore` set; `es_carpeta`
    // tells whether it is a folder. The folders it lies in are not asked
    // about: git archive never enters one left out.
    bool marcada(std::string_view ruta, bool es_carpeta) const;

    // True when `ruta`, or a folder it lies in, has `export-ignore` set.
    bool deja_fuera(std::string_view ruta, bool es_carpeta) const;

    bool vacios() const { return ficheros_.empty(); }

    enum class valor : unsigned char { puesto, quitado, sin_fijar, otro };
    struct estado {
        std::string nombre;
        valor que;
    };

   private:
    struct regla {
        std::string patron;        // without an anchoring `/` or the folder `/`
        bool solo_nombre = false;  // no `/`: tried on the last name, at any depth
        bool carpetas = false;     // a trailing `/`: folders only
        std::vector<estado> estados;
    };
    bool coincide(const regla& r, std::string_view base, std::string_view ruta,
                  bool es_carpeta) const;
    void aplica(const std::vector<estado>& estados, std::vector<estado>& fijados,
                unsigned hondura) const;

    std::map<std::string, std::vector<regla>, std::less<>> ficheros_;  // by folder
    std::map<std::string, std::vector<estado>, std::less<>> macros_;
};

// Reads the `.gitattributes` of each folder of `carpetas` (paths from the
// root `raiz`, "" for the root itself) into `atributos`, never through a link:
// one that is a link, or no regular file, is passed over as git passes it
// over, with a warning in `avisos` for a link. Returns 0, or the error number
// of a file that could not be read, whose path goes to `ilegible`.
int lee_atributos(const carpeta& raiz, const std::vector<std::string>& carpetas,
                  atributos_exportacion& atributos, std::vector<std::string>& avisos,
                  std::string& ilegible);

}  // namespace kexo

#endif  // KEXO_TREE_EXPORTACION_H_
