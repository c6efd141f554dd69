// The exclude rules, as `.gitignore` writes them: each row a set of rules and
// the paths they leave out or keep.
#include "tree/patrones.h"

#include <gtest/gtest.h>

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
        {"[ab", "[ab", true},
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
    };
    for (const auto& c : casos) {
        reglas_exclusion reglas;
        reglas.anade_lineas(c.reglas);
        EXPECT_EQ(c.fuera, reglas.excluye(c.ruta, c.carpeta)) << c.reglas << " | " << c.ruta;
    }
}

TEST(Patrones, SinCoincidencias) {
    reglas_exclusion reglas;
    // A `!` rule never leaves anything out, so it is never named.
    reglas.anade_lineas("*.log\ndebug.log\n/nada\n!*.txt\n!nunca\n");
    reglas.excluye("a/debug.log", false);
    reglas.excluye("b.txt", false);
    EXPECT_EQ((std::vector<std::string>{"/nada"}), reglas.sin_coincidencias());
}

}  // namespace

}  // namespace kexo
