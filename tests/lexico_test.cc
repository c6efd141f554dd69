#include <gtest/gtest.h>

#include "lexical/lexico_php.h"
#include "tests/escapa.h"

namespace kexo {

using namespace std::string_view_literals;

namespace {

struct caso {
    const char* nombre;
    std::string_view original;
    std::string_view compactado;
    std::int64_t linea;  // where they part in the original; 0: the same program
};

const caso kCasos[] = {
    // The same program: whitespace, comments and a final line end differ.
    {"comments and lines", "<?php\r\n  echo $a; // x\r\n?>"sv, "<?php echo $a;  \r\n?>\r\n"sv, 0},
    {"whitespace html at the end", "<?php echo 1; ?>\n\n \n"sv, "<?php echo 1; \r\n?>\r\n"sv, 0},
    {"doc comment joined", "<?php\r\n/**\r\n * It's\r\n */\r\nfunction f() {}"sv,
     "<?php /** * It's */ function f() {}"sv, 0},
    {"hash comment", "<?php # a\nx();"sv, "<?php\nx();"sv, 0},
    {"attribute", "<?php\r\n#[Ruta('/a')]\r\nfunction f() {}"sv,
     "<?php #[Ruta('/a')] function f() {}"sv, 0},
    {"block comment", "<?php a /* x\r\n y */ b;"sv, "<?php a b;"sv, 0},
    {"echo tag", "<?= $a // x\r\n?>"sv, "<?= $a  \r\n?>\r\n"sv, 0},
    {"indented heredoc end", "<?php $a = <<<X\n  a\n  XY\n  X;\r\necho 1;"sv,
     "<?php $a = <<<X\n  a\n  XY\n  X; echo 1;"sv, 0},
    {"nowdoc", "<?php $a = <<<'X'\r\n// {$b}\r\nX;\r\n"sv, "<?php $a = <<<'X'\r\n// {$b}\r\nX; "sv,
     0},
    {"interpolation with quotes", "<?php echo \"{$a[\"k\"]} // x\";\r\n$b = 1;"sv,
     "<?php echo \"{$a[\"k\"]} // x\"; $b = 1;"sv, 0},
    {"cast with spaces", "<?php $a = ( int )$b;"sv, "<?php $a = ( int )$b;"sv, 0},
    // A different program.
    {"names joined", "<?php else\recho 1;"sv, "<?php elseecho 1;"sv, 1},
    {"string joined", "<?php\n$a = 'x\r\n  y';"sv, "<?php\n$a = 'x y';"sv, 2},
    {"heredoc joined", "<?php $a = <<<EOT\r\nuno\r\n  dos\r\nEOT;\r\n"sv,
     "<?php $a = <<<EOT uno dos EOT;"sv, 1},
    {"hash comment takes the next line", "<?php # c\r\nx();"sv, "<?php # c x();"sv, 2},
    {"block comment loses its end", "<?php /* a // b */ x();"sv, "<?php /* a"sv, 1},
    {"?> in a line comment", "<?php // a ?> b"sv, "<?php"sv, 1},
    {"html after a close tag", "<?php echo 1; ?>\r\n<b>\r\n</b>"sv, "<?php echo 1; ?> <b> </b>"sv,
     2},
    {"operators joined", "<?php $a = $b +\r+$c;"sv, "<?php $a = $b ++$c;"sv, 1},
    {"cast made", "<?php $a = (\rint) $b;"sv, "<?php $a = (int) $b;"sv, 1},
    {"numbers joined", "<?php $a = 1\r2;"sv, "<?php $a = 12;"sv, 1},
    {"close tag made", "<?php $a ?\r> 1;"sv, "<?php $a ?> 1;"sv, 1},
    {"escaped backslash", "<?php $a = '\\\\'; $b = 'http://x';\r\n"sv,
     "<?php $a = '\\\\'; $b = 'http:"sv, 1},
    {"halt_compiler data", "<?php __halt_compiler();\r\nraw // data"sv,
     "<?php __halt_compiler(); raw"sv, 1},
    {"short open tag is html", "<? echo 1; // x\r\n?>"sv, "<? echo 1;  \r\n?>\r\n"sv, 1},
    {"trailing html that is not blank", "<?php x(); ?>\r\n</html>\r\n"sv, "<?php x(); ?></html>"sv,
     2},
    {"missing code at the end", "<?php a();\nb();"sv, "<?php a();"sv, 2},
    {"more code at the end", "<?php a();"sv, "<?php a(); b();"sv, 1},
};

TEST(Lexico, ComparaProgramas) {
    for (const caso& c : kCasos) {
        SCOPED_TRACE(std::string(c.nombre) + ": " + escapa(c.original) + " / " +
                     escapa(c.compactado));
        const comparacion hallada = compara_php(c.original, c.compactado);
        EXPECT_EQ(c.linea == 0, hallada.iguales);
        EXPECT_EQ(c.linea, hallada.iguales ? 0 : hallada.linea);
        EXPECT_TRUE(compara_php(c.original, c.original).iguales);
        EXPECT_TRUE(compara_php(c.compactado, c.compactado).iguales);
    }
}

// Unfinished constructs end with the source: nothing is read past it.
TEST(Lexico, FinalesAbiertos) {
    for (const std::string_view fuente :
         {"<?php 'a"sv, "<?php \"{$a"sv, "<?php /* a"sv, "<?php <<<X\na"sv, "<?php \"${"sv,
          "<?php (int"sv, "<?php $"sv, "<?php 0x"sv, "<?php 1e"sv, "<?ph"sv, "<?php"sv}) {
        SCOPED_TRACE(escapa(fuente));
        EXPECT_TRUE(compara_php(fuente, fuente).iguales);
        EXPECT_FALSE(compara_php(fuente, std::string(fuente) + "\n*/x").iguales);
    }
    // Strings nested without end in one another: no deeper than the stack allows.
    std::string honda = "<?php \"";
    for (int i = 0; i < 100000; ++i) {
        honda += "{$a[\"";
    }
    EXPECT_TRUE(compara_php(honda, honda).iguales);
    EXPECT_FALSE(compara_php(honda, honda + "x").iguales);
}

}  // namespace

}  // namespace kexo
