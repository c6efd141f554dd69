// The exclude rules, as `.gitignore` writes them: each row a set of rules and
// the paths they leave out or keep, and git's own verdict on thousands more.
#include "tree/patrones.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/proceso.h"

namespace kexo {

namespace {

TEST(Patrones, Nombres) {
    const struct {
        const char *patron, *nombre;
        bool coincide;
    } casos[] = {
        {"*.php", "a.php", true},
        {"*.php", "a.phpx", false},
        {"?.php", "a.php", true},
        {"?.php", "ab.php", false},
        {"[ab].c", "b.c", true},
        {"[ab].c", "c.c", false},
        {"[!ab].c", "c.c", true},
        {"[a-c]x", "bx", true},
        {"[a-c]x", "dx", false},
        // A `[` that no `]` closes, a class of no known name or a `\` at the end
        // spoil the pattern: it matches nothing.
        {"[ab", "[ab", false},
        {"[[:nada:]]", ":]", false},
        {"a\\", "a\\", false},
        // `\` takes the next byte as it is.
        {"star\\*.txt", "star*.txt", true},
        {"star\\*.txt", "starX.txt", false},
        {"\\[x\\]", "[x]", true},
        {"[\\]]", "]", true},
        // Classes of bytes in a set.
        {"[[:digit:]]x", "7x", true},
        {"[[:digit:]]x", "ax", false},
        {"[[:alpha:]_]", "Q", true},
        {"[[:space:]]", " ", true},
        {"*", "", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.coincide, coincide_nombre(c.patron, c.nombre)) << c.patron << " " << c.nombre;
    }
}

TEST(Patrones, Reglas) {
    const struct {
        const char* reglas;
        const char* ruta;
        bool carpeta;
        bool fuera;
    } casos[] = {
        // Names at any depth, unless a `/` anchors them.
        {"*.md", "docs/leeme.md", false, true},
        {"*.md", "leeme.mdx", false, false},
        {"vendor/*/tests", "vendor/a/tests", true, true},
        {"vendor/*/tests", "vendor/a/b/tests", true, false},
        {"vendor/*/tests", "x/vendor/a/tests", true, false},
        {"/node_modules", "node_modules", true, true},
        {"/node_modules", "a/node_modules", true, false},
        {"node_modules", "a/node_modules", true, true},
        {"a*", "a/b", false, false},
        {"*", "a/b", false, true},
        // Folders only.
        {".git/", ".git", true, true},
        {".git/", ".git", false, false},
        {"build/", "src/build", true, true},
        // `**` across folders, none included; at the end, what lies inside.
        {"vendor/**/tests", "vendor/tests", true, true},
        {"vendor/**/tests", "vendor/a/b/tests", true, true},
        {"**/cache", "x/y/cache", true, true},
        {"**/cache", "cache", true, true},
        {"logs/**", "logs/a/b.txt", false, true},
        {"logs/**", "logs", true, false},
        // The last rule that matches wins; `!` takes a path back in.
        {"*.log\n!keep.log", "keep.log", false, false},
        {"*.log\n!keep.log", "drop.log", false, true},
        {"!keep.log\n*.log", "keep.log", false, true},
        // Comments, blank lines, trailing spaces and CR LF ends.
        {"# *.php\n\n*.txt  \r\n", "a.php", false, false},
        {"# *.php\n\n*.txt  \r\n", "a.txt", false, true},
        {"\\#nota", "#nota", false, true},
        {"\xEF\xBB\xBF*.log", "a.log", false, true},
        // Unescaped trailing spaces are dropped, `\ ` keeps one; a CR only
        // ends a line when a LF follows it.
        {"a\\ ", "a ", false, true},
        {"a \\ ", "a  ", false, true},
        {"a\r \n", "a", false, false},
    };
    for (const auto& c : casos) {
        reglas_exclusion reglas;
        reglas.anade_lineas(c.reglas);
        EXPECT_EQ(c.fuera, reglas.excluye(c.ruta, c.carpeta)) << c.reglas << " | " << c.ruta;
    }
}

// Patterns with many stars, or many `**`, take time in proportion to the
// pattern's length by the path's, never more: this would not end otherwise.
TEST(Patrones, SinExplosion) {
    std::string nombre(100000, 'a');
    EXPECT_FALSE(coincide_nombre("*a*a*a*a*a*a*a*a*b", nombre));
    std::string ruta = "a";
    for (int i = 0; i < 200; ++i) {
        ruta += "/a";
    }
    EXPECT_FALSE(coincide_ruta("**/a/**/a/**/a/**/a/**/a/**/a/**/b", ruta));
    EXPECT_TRUE(coincide_ruta("**/a/**/a/**/a/**/a/**/a/**/a/**", ruta));
}

TEST(Patrones, SinCoincidencias) {
    reglas_exclusion reglas;
    // A `!` rule never leaves anything out, so it is never named.
    reglas.anade_lineas("*.log\ndebug.log\n/nada\n!*.txt\n!nunca\n");
    reglas.excluye("a/debug.log", false);
    reglas.excluye("b.txt", false);
    EXPECT_EQ((std::vector<std::string>{"/nada"}), reglas.sin_coincidencias());
}

// git as the judge: sets of rules, each with the paths it is tried on, all
// asked of one `git check-ignore`, each set in a folder of its own with its
// `.gitignore`.
struct lote {
    std::string reglas;                               // the `.gitignore`'s text
    std::vector<std::pair<std::string, bool>> rutas;  // each path and whether a folder
};

// The sets picked by hand: what a newcomer to `.gitignore` gets wrong.
std::vector<lote> lotes_a_mano() {
    const std::vector<std::pair<std::string, bool>> rutas = {
        {"a", true},      {"a/b", true},        {"a/b/c", false},     {"a/x", true},
        {"a/x/b", false}, {"b", false},         {"x", true},          {"x/a", true},
        {"x/a/b", false}, {"star*.txt", false}, {"starX.txt", false}, {"[x]", false},
        {"x ", false},    {"#n", false},        {"!n", false},        {"7", false},
        {"]", false},     {"-", false},         {"c", false},         {"[", false},
        {":", false},     {"a\\b", false},
    };
    std::vector<lote> lotes;
    for (const char* reglas : {"a/**/b\n",
                               "**/b\n",
                               "a/**\n",
                               "/a/b\n",
                               "a/b/\n",
                               "b/\n",
                               "a/\n!a/b/c\n",
                               "a/*\n!a/b\n",
                               "*\n!*/\n!c\n",
                               "star\\*.txt\n",
                               "\\[x\\]\n",
                               "x\\ \n",
                               "x \n",
                               "\\#n\n\\!n\n",
                               "#n\n",
                               "[[:digit:]]\n",
                               "[!a]\n",
                               "[^ab]\n",
                               "[]a]\n",
                               "[!]a]\n",
                               "[[:a]\n",
                               "[c-a]\n",
                               "[a-c-e]\n",
                               "[a\n",
                               "[[:nada:]]\n",
                               "a\\\n",
                               "a\\/b\n",
                               "a[/]b\n",
                               "a//b\n",
                               "\xEF\xBB\xBF"
                               "b\r\n",
                               "b\r \n",
                               "a/b\r\n!a/b\r\n",
                               "**\n",
                               "/**\n",
                               "**/\n",
                               "a\\b\n",
                               "a\\\\b\n",
                               "*/\n",
                               "x/**/\n",
                               "\\a\n"}) {
        lotes.push_back({reglas, rutas});
    }
    return lotes;
}

// Rules and paths made from a fixed seed, from a few bytes so that they meet.
class generador {
   public:
    explicit generador(unsigned semilla) : azar_(semilla) {}

    lote siguiente() {
        lote l;
        std::set<std::string> carpetas;
        std::vector<std::string> hojas;
        for (std::size_t i = 0, n = 3 + hasta(6); i < n; ++i) {
            hojas.push_back(ruta());
            for (std::size_t barra = hojas.back().find('/'); barra != std::string::npos;
                 barra = hojas.back().find('/', barra + 1)) {
                carpetas.insert(hojas.back().substr(0, barra));
            }
        }
        for (const std::string& c : carpetas) {
            l.rutas.push_back({c, true});
        }
        for (const std::string& h : hojas) {
            if (carpetas.count(h) == 0) {
                l.rutas.push_back({h, hasta(3) == 0});
                carpetas.insert(h);
            }
        }
        l.reglas = hasta(10) == 0 ? "\xEF\xBB\xBF" : "";
        for (std::size_t i = 0, n = 1 + hasta(4); i < n; ++i) {
            const std::string& de = l.rutas[hasta(l.rutas.size())].first;
            l.reglas += regla(hasta(4) == 0 ? ruta() : de) + (hasta(5) == 0 ? "\r\n" : "\n");
        }
        return l;
    }

   private:
    std::size_t hasta(std::size_t n) { return azar_() % n; }

    std::string nombre() {
        static constexpr char kBytes[] = "abcA1.-*?[]\\ !#:";
        std::string n;
        while (n.empty() || n == "." || n == "..") {
            n.clear();
            for (std::size_t i = 0, largo = 1 + hasta(3); i < largo; ++i) {
                n += kBytes[hasta(sizeof kBytes - 1)];
            }
        }
        return n;
    }

    std::string ruta() {
        std::string r = nombre();
        for (std::size_t i = 0, n = hasta(4); i < n; ++i) {
            r += "/" + nombre();
        }
        return r;
    }

    // A piece of pattern that matches the byte `c`, or may not.
    std::string pieza(char c) {
        const std::string literal = std::string("*?[]\\!#/ ").find(c) != std::string::npos
                                        ? std::string("\\") + c
                                        : std::string(1, c);
        switch (hasta(14)) {
            case 0:
                return "?";
            case 1:
                return "*";
            case 2:
                return "[" + literal + "b]";
            case 3:
                return "[!" + literal + "]";
            case 4:
                return "[^a-c]";
            case 5:
                return "[[:alpha:]]";
            case 6:
                return "[[:punct:][:digit:]]";
            case 7:
                return "[[:space:]-]";
            case 8:
                return "[]-a]";
            case 9:
                return std::string(1, c);  // unescaped: a wildcard, maybe a broken set
            default:
                return literal;
        }
    }

    // A pattern made from the path `de`: some names dropped or crossed by
    // `**`, some bytes by wildcards.
    std::string patron(const std::string& de) {
        std::vector<std::string> nombres;
        for (std::size_t i = 0; i <= de.size();) {
            const std::size_t barra = std::min(de.find('/', i), de.size());
            nombres.push_back(de.substr(i, barra - i));
            i = barra + 1;
        }
        std::string p;
        for (std::size_t i = hasta(nombres.size()); i < nombres.size(); ++i) {
            p += p.empty() ? "" : "/";
            if (hasta(8) == 0) {
                p += hasta(2) == 0 ? "**" : "*";
                continue;
            }
            for (char c : nombres[i]) {
                // Kept as it is, a `*`, `?` or `[` of the name is a wildcard too.
                p += hasta(3) == 0 ? pieza(c) : c == '\\' ? "\\\\" : std::string(1, c);
            }
        }
        const char* antes[] = {"", "", "", "/", "**/", "!", "\\!", "#"};
        const char* despues[] = {"", "", "", "/", "/**", " ", "\\ ", "  "};
        return antes[hasta(8)] + p + despues[hasta(8)];
    }

    std::string regla(const std::string& de) {
        std::string r = patron(de);
        while (rareza_de_git(r)) {
            r = patron(de);
        }
        return r;
    }

    std::mt19937 azar_;

   public:
    // git tries an anchored pattern's literal start apart from the rest, so
    // that in `a/b**/c` the `**` crosses folders, where `.gitignore`'s rules
    // make it two `*`. Patterns whose first wildcard is a `**` after a byte
    // other than `/` are not asked about.
    static bool rareza_de_git(std::string r) {
        r.erase(0, r.rfind('!', 0) == 0 ? 1 : 0);
        if (r.empty() || r.find('/') == std::string::npos) {
            return false;
        }
        r.erase(0, r[0] == '/' ? 1 : 0);
        const std::size_t k = r.find_first_of("*?[\\");
        return k != std::string::npos && k > 0 && r.substr(k, 2) == "**" && r[k - 1] != '/';
    }
};

// Whether the walk leaves out `ruta`: a folder it lies in is never entered.
bool fuera_al_recorrer(reglas_exclusion& reglas, const std::string& ruta, bool carpeta) {
    for (std::size_t barra = ruta.find('/'); barra != std::string::npos;
         barra = ruta.find('/', barra + 1)) {
        if (reglas.excluye(ruta.substr(0, barra), true)) {
            return true;
        }
    }
    return reglas.excluye(ruta, carpeta);
}

// Makes each set's folder, its `.gitignore` and its folders under `raiz`, and
// returns what git leaves out of them, or nothing with `ok` false.
std::set<std::string> veredicto_de_git(const std::vector<lote>& lotes,
                                       const std::filesystem::path& raiz, bool& ok) {
    std::string pedidas;
    for (std::size_t i = 0; i < lotes.size(); ++i) {
        const std::filesystem::path carpeta = raiz / ("c" + std::to_string(i));
        std::filesystem::create_directories(carpeta);
        escribe_fichero(carpeta / ".gitignore", lotes[i].reglas);
        for (const auto& [ruta, es_carpeta] : lotes[i].rutas) {
            if (es_carpeta) {  // a path that is not there is no folder to git
                std::filesystem::create_directories(carpeta / ruta);
            }
            pedidas += "c" + std::to_string(i) + "/" + ruta + '\0';
        }
    }
    escribe_fichero(raiz / "pedidas", pedidas);
    const std::string orden =
        "cd '" + raiz.string() +
        "' && HOME=. XDG_CONFIG_HOME=. GIT_CONFIG_NOSYSTEM=1 git init -q && HOME=. "
        "XDG_CONFIG_HOME=. GIT_CONFIG_NOSYSTEM=1 git check-ignore --no-index --stdin -z "
        "<pedidas >fuera";
    const int estado = std::system(orden.c_str());
    ok = estado != -1 && WIFEXITED(estado) && WEXITSTATUS(estado) <= 1;
    std::set<std::string> fuera;
    const std::string salida = lee_fichero(raiz / "fuera");
    for (std::size_t i = 0; i < salida.size();) {
        const std::size_t fin = std::min(salida.find('\0', i), salida.size());
        fuera.insert(salida.substr(i, fin - i));
        i = fin + 1;
    }
    return fuera;
}

TEST(Patrones, ComoGit) {
    if (std::system("git --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs git, the judge";
    }
    std::vector<lote> lotes = lotes_a_mano();
    generador genera(20261210);
    for (int i = 0; i < 200; ++i) {
        lotes.push_back(genera.siguiente());
    }
    // Thousands of folders are made and removed: in memory where there is room.
    const bool en_memoria = access("/dev/shm", W_OK | X_OK) == 0;
    carpeta_temporal raiz(en_memoria ? std::filesystem::path("/dev/shm") : std::filesystem::path());
    bool ok = false;
    const std::set<std::string> fuera_git = veredicto_de_git(lotes, raiz.ruta(), ok);
    ASSERT_TRUE(ok) << "git check-ignore failed";
    std::map<bool, int> veredictos;
    int distintas = 0;
    for (std::size_t i = 0; i < lotes.size(); ++i) {
        reglas_exclusion reglas;
        reglas.anade_lineas(lotes[i].reglas);
        for (const auto& [ruta, carpeta] : lotes[i].rutas) {
            const bool fuera = fuera_al_recorrer(reglas, ruta, carpeta);
            const bool git = fuera_git.count("c" + std::to_string(i) + "/" + ruta) > 0;
            ++veredictos[git];
            if (fuera != git && ++distintas <= 20) {
                ADD_FAILURE() << "rules:\n"
                              << lotes[i].reglas << "path: " << ruta << (carpeta ? "/" : "")
                              << "\ngit leaves it out: " << git;
            }
        }
    }
    EXPECT_EQ(0, distintas) << "of " << veredictos[true] + veredictos[false];
    // Both verdicts come often, or the judge judged nothing.
    EXPECT_GT(veredictos[true], 500);
    EXPECT_GT(veredictos[false], 500);
}

}  // namespace

}  // namespace kexo
