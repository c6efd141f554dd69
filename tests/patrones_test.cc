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
    for (int i = 0; i < 300; ++i) {
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

}  // namespace

}  // namespace kexo
