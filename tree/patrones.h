// Which paths of a tree are left out, by rules written as in `.gitignore`:
// one pattern a line, `#` comments and blank lines, trailing spaces dropped
// unless escaped, a trailing `/` for folders only, a leading `/` (or any `/`
// but a trailing one) anchoring the pattern to the root, `*`, `?` and `[...]`
// within one name, `\` taking the next byte as it is, `**` across folders,
// `!` taking a path back in, and the last rule that matches wins.
#ifndef KEXO_TREE_PATRONES_H_
#define KEXO_TREE_PATRONES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kexo {

class reglas_exclusion {
   public:
    // Adds the rule written as `linea`; blank lines and comments add none.
    void anade(std::string_view linea);

    // Adds a rule for each line of `texto`, the contents of an exclude file:
    // lines end in LF or CR LF, and a UTF-8 byte order mark first is passed over.
    void anade_lineas(std::string_view texto);

    // True when the path `ruta` (from the root, names joined by `/`) is left
    // out; `es_carpeta` tells whether it is a folder. The folders it lies in are
    // not asked about again: the walk never enters a folder left out, so what
    // lies inside is out whatever its own rules say. Safe from one thread only:
    // it notes which rules matched.
    bool excluye(std::string_view ruta, bool es_carpeta);

    bool vacias() const { return reglas_.empty(); }

    // The rules as written that have left out no path so far; a `!` rule
    // never leaves anything out, so it is not one of them.
    std::vector<std::string> sin_coincidencias() const;

    // Notes as matched the rules that matched in `copia`, a copy of these
    // rules that another thread tried paths on.
    void suma_coincidencias(const reglas_exclusion& copia);

   private:
    struct regla {
        std::string escrita;               // as the user wrote it
        std::vector<std::string> nombres;  // the pattern's names, without `!`, the
                                           // anchoring `/` or the folder `/`
        bool nunca = false;                // malformed (a `[` never closed...): matches nothing
        bool niega = false;                // `!`: takes the path back in
        bool anclada = false;              // matched against the whole path, not any name's tail
        bool carpetas = false;             // matches folders only
        bool coincidio = false;            // matched a path at least once
    };
    std::vector<regla> reglas_;
};

// True when the name `texto` (no `/` in it) matches `patron`: `*` stands for
// any bytes, `?` for one, `[abc]`, `[a-z]`, `[[:digit:]]` for one of a set and
// `[!a]` or `[^a]` for one not in it, `\*` for a `*`. A `[` never closed, an
// unknown class or a `\` at the end leave a pattern that matches nothing.
bool coincide_nombre(std::string_view patron, std::string_view texto);

// True when the path `ruta` matches `patron` name by name, where a name `**`
// of the pattern stands for any number of names, none included.
bool coincide_ruta(std::string_view patron, std::string_view ruta);

}  // namespace kexo

#endif  // KEXO_TREE_PATRONES_H_
