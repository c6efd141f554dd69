#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lexical/lexico_php.h"
#include "tests/escapa.h"

namespace kexo {

using namespace std::string_view_literals;

namespace {

constexpr auto kPrograma = motivo_diferencia::programa;
constexpr auto kDoc = motivo_diferencia::documentacion;
constexpr auto kLineaMagica = motivo_diferencia::linea_magica;
constexpr auto kLinea = motivo_diferencia::linea;
constexpr auto kLineas = modo_comparacion::lineas;

// Every verdict below was checked against PHP 8.2's tokenizer
// (php bench/juez_php.php --pares), which agrees with it.
struct caso {
    const char* nombre;
    std::string_view original;
    std::string_view compactado;
    std::int64_t linea;  // where they part in the original; 0: the same program
    motivo_diferencia motivo = kPrograma;
    modo_comparacion modo = modo_comparacion::programa;
};

const caso kCasos[] = {
    // The same program: whitespace, comments and a final line end differ.
    {"comments and lines", "<?php\r\n  echo $a; // x\r\n?>"sv, "<?php echo $a;  \r\n?>\r\n"sv, 0},
    {"whitespace html at the end", "<?php echo 1; ?>\n\n \n"sv, "<?php echo 1; \r\n?>\r\n"sv, 0},
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
    // Doc comments, which Reflection reads, byte for byte; `/**/` and `/**x` are not ones.
    {"doc comment joined", "<?php\r\n/**\r\n * It's\r\n */\r\nfunction f() {}"sv,
     "<?php /** * It's */ function f() {}"sv, 2, kDoc},
    {"doc comment's link cut", "<?php\n/**\n * @link https://x.org/a\n */\nfunction f() {}"sv,
     "<?php\n/**\n * @link https:\n */\nfunction f() {}"sv, 2, kDoc},
    {"doc comment dropped", "<?php /** a */ f();"sv, "<?php f();"sv, 1, kDoc},
    {"doc comment after ->", "<?php $o->/** a */b;"sv, "<?php $o->b;"sv, 1, kDoc},
    {"doc comment moved within its whitespace", "<?php\r\n/** a */\r\nfunction f() {}"sv,
     "<?php /** a */ function f() {}"sv, 0},
    {"/**/ is a plain comment", "<?php /**/ f();"sv, "<?php f();"sv, 0},
    {"/**x is a plain comment", "<?php /**x */ f();"sv, "<?php f();"sv, 0},
    // __LINE__ is its line, in any letter case, but not as a property's name.
    {"__LINE__ moved", "<?php\r\necho __LINE__;"sv, "<?php echo __LINE__;"sv, 2, kLineaMagica},
    {"__line__ moved", "<?php\r\necho __line__;"sv, "<?php echo __line__;"sv, 2, kLineaMagica},
    {"__LINE__ in {$...}", "<?php\r\n$a = \"{$b[__LINE__]}\";"sv,
     "<?php $a = \"{$b[__LINE__]}\";"sv, 2, kLineaMagica},
    {"a lone CR is a line to PHP", "<?php echo 1;\r echo __LINE__;"sv,
     "<?php echo 1; echo __LINE__;"sv, 2, kLineaMagica},
    {"__LINE__ on its line", "<?php echo __LINE__; // x\r\n"sv, "<?php echo __LINE__;  "sv, 0},
    {"property named __LINE__", "<?php\r\n$o->__LINE__;"sv, "<?php $o->__LINE__;"sv, 0},
    // After -> and ?-> PHP looks for a name: comments keep it looking, and
    // `#[` there is a comment.
    {"#[ after -> is a comment",
     "<?php\n$o=(object)[\"a\"=>1,\"b\"=>2];$k=\"b\";\n$v=$o-> #[c]\r\na;\n$k;\necho $v;\n"sv,
     "<?php\n$o=(object)[\"a\"=>1,\"b\"=>2];$k=\"b\";\n$v=$o-> #[c] a;\n$k;\necho $v;"sv, 4},
    {"# after ?-> is a comment", "<?php $o?-> #x\r\nb;"sv, "<?php $o?-> #x b;"sv, 2},
    {"comment between -> and a keyword", "<?php $o->/**/class;"sv, "<?php $o->class;"sv, 0},
    {"line comment after ->", "<?php $o-> // c\r\n  a;"sv, "<?php $o->   a;"sv, 0},
    // {$...} in a heredoc is code up to its }: a line there is no closing marker.
    {"closing marker inside {$...}",
     "<?php\nconst EOT=\"k\";$a=[\"k\"=>\"v\"];\necho <<<EOT\n{$a[\nEOT\n]} http://x\nEOT;\n"sv,
     "<?php\nconst EOT=\"k\";$a=[\"k\"=>\"v\"];\necho <<<EOT\n{$a[\nEOT\n]} http:\nEOT;"sv, 6},
    {"${name} and ${ name}: a variable's name, a constant", "<?php \"${a}\";"sv,
     "<?php \"${ a}\";"sv, 1},
    {"closing marker left with no byte after it", "<?php\n<<< 'X'\nX \r\n  "sv,
     "<?php\n<<< 'X'\nX"sv, 3},
    {"whitespace inside {$...}", "<?php \"{$a\r\n}\";"sv, "<?php \"{$a }\";"sv, 0},
    {"close tag inside {$...}", "<?php \"{$a ?>x<?php }\"; // c"sv, "<?php \"{$a ?>x<?php }\"; "sv,
     0},
    {"quote inside \"$a[...]\"", "<?php \"$a[\"]\"; // x"sv, "<?php \"$a[\"]\"; "sv, 0},
    {"space inside \"$a[...]\"", "<?php \"$a[ k]\"; // x\r\n"sv, "<?php \"$a[ k]\";  "sv, 0},
    {"closing marker at the very end", "<?php $a = <<<X\nfoo\nX"sv, "<?php $a = <<<X\nfoo\nX;"sv,
     2},
    // A final close tag after `;` or the open tag is an empty statement.
    {"?> in the last line comment", "<?php echo 1; // done ?>"sv, "<?php echo 1;"sv, 0},
    {"?> in the last line comment, no ;", "<?php echo 1 // done ?>"sv, "<?php echo 1"sv, 1},
    {"?> right after the open tag", "<?php ?>"sv, "<?php"sv, 0},
    {"?> and blank lines", "<?php f(); ?>\n\n"sv, "<?php f();"sv, 0},
    {"?> and more html", "<?php f(); ?>x"sv, "<?php f();"sv, 1},
    {"?> after <?= ...;", "<?= $a; ?>"sv, "<?= $a;"sv, 0},
    {"?> after <?= ...", "<?= $a ?>"sv, "<?= $a"sv, 1},
    // Tokens whose kind hangs on what follows them.
    {"& before a comment and a variable", "<?php function f(& /**/ $a) {}"sv,
     "<?php function f(&  $a) {}"sv, 1},
    {"& before a line comment", "<?php $a = $b & // c\r\n$c;"sv, "<?php $a = $b &  $c;"sv, 1},
    {"& before a line end", "<?php f(&\r\n$a);"sv, "<?php f(& $a);"sv, 0},
    {"enum before a comment", "<?php enum /**/ Foo {}"sv, "<?php enum  Foo {}"sv, 1},
    {"enum before a line end", "<?php enum\r\nFoo {}"sv, "<?php enum Foo {}"sv, 0},
    {"yield from over a line end", "<?php yield\r\nfrom $a;"sv, "<?php yield from $a;"sv, 1},
    {"yield, a comment, from", "<?php yield /**/ from $a;"sv, "<?php yield  from $a;"sv, 1},
    {"name and separator apart", "<?php Foo\\ Bar;"sv, "<?php Foo\\Bar;"sv, 1},
    {"number joined to a name", "<?php $a = 1\r_000;"sv, "<?php $a = 1_000;"sv, 1},
    // __halt_compiler: three tokens, then raw data; not after -> .
    {"__halt_compiler's tokens", "<?php __halt_compiler ( ) ;raw"sv,
     "<?php __halt_compiler();raw"sv, 0},
    {"__halt_compiler's data", "<?php __halt_compiler ( ) ; raw"sv, "<?php __halt_compiler();raw"sv,
     1},
    {"__halt_compiler's blank data", "<?php\r\n\r\n__halt_compiler();  "sv,
     "<?php  __halt_compiler();"sv, 3},
    {"<?= is one of the three tokens", "<?php __halt_compiler\r\n  yield?><?= public"sv,
     "<?php __halt_compiler\r\n  yield?><?=public"sv, 2},
    {"method named __halt_compiler", "<?php $a->__halt_compiler(); // x\r\nb();"sv,
     "<?php $a->__halt_compiler();  b();"sv, 0},
    {"static __halt_compiler", "<?php A::__halt_compiler(); // x\r\nb();"sv,
     "<?php A::__halt_compiler();  b();"sv, 1},
    // Every piece on its line.
    {"lines kept", "<?php\n$a = 1;\n"sv, "<?php\n$a=1;\n"sv, 0, kPrograma, kLineas},
    {"a line moved", "<?php\r\n$a = 1;"sv, "<?php $a = 1;"sv, 2, kLinea, kLineas},
    {"__halt_compiler's data on another line", "<?php __halt_compiler() ?>\rdata"sv,
     "<?php __halt_compiler() ?>data"sv, 0, kPrograma, kLineas},
    {"a final ?> on another line", "<?php f(); /* a\r\n */ ?>\n"sv, "<?php f(); ?>\n"sv, 0,
     kPrograma, kLineas},
    {"__LINE__ moved, every line", "<?php\r\n__LINE__;"sv, "<?php __LINE__;"sv, 2, kLineaMagica,
     kLineas},
};

TEST(Lexico, ComparaProgramas) {
    for (const caso& c : kCasos) {
        SCOPED_TRACE(std::string(c.nombre) + ": " + escapa(c.original) + " / " +
                     escapa(c.compactado));
        const comparacion hallada = compara_php(c.original, c.compactado, c.modo);
        EXPECT_EQ(c.linea == 0, hallada.iguales);
        EXPECT_EQ(c.linea, hallada.iguales ? 0 : hallada.linea);
        EXPECT_EQ(c.linea == 0 ? motivo_diferencia::ninguno : c.motivo, hallada.motivo);
        EXPECT_EQ(hallada.iguales, compara_php(c.compactado, c.original, c.modo).iguales);
        EXPECT_TRUE(compara_php(c.original, c.original, kLineas).iguales);
        EXPECT_TRUE(compara_php(c.compactado, c.compactado, kLineas).iguales);
    }
}

// A header of some lines in front of the compacted code moves a __LINE__,
// and nothing else that the program sees.
TEST(Lexico, CabeceraDesplazaLineas) {
    EXPECT_TRUE(compara_php("<?php\n// x\necho 1;", "<?php\necho 1;", modo_comparacion::programa, 3)
                    .iguales);
    const comparacion movida = compara_php("<?php\necho __LINE__;", "<?php\necho __LINE__;",
                                           modo_comparacion::programa, 2);
    EXPECT_FALSE(movida.iguales);
    EXPECT_EQ(motivo_diferencia::linea_magica, movida.motivo);
    EXPECT_EQ(2, movida.linea);
    EXPECT_TRUE(compara_php("<?php\n\n\necho __LINE__;", "<?php echo __LINE__;",
                            modo_comparacion::programa, 3)
                    .iguales);
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

// The tokens PHP's scanner cuts, whitespace and comments aside, joined by |,
// as PHP 8.2's token_get_all gave them.
TEST(Lexico, PiezasDePhp) {
    struct fila {
        std::string_view fuente;
        std::string_view piezas;
    };
    const fila kFilas[] = {
        // A heredoc's look-ahead stops at a bracket that does not match, or
        // at an octal 08: the closing token then spans what it learnt.
        {"<?php\n<<<X\n  {$a)}\n  X;\n"sv, "<?php\n|<<<X\n|  |{|$a|)|}|\n| |X|;"sv},
        {"<?php\n<<<X\n  {$a[08]}\n  X;\n"sv, "<?php\n|<<<X\n|  |{|$a|[|08|]|}|\n| |X|;"sv},
        {"<?php\n<<<X\n  {$a[<<<Y\n \tY]}\n  X;\n"sv,
         "<?php\n|<<<X\n|  |{|$a|[|<<<Y\n| \tY|]|}|\n| |X|;"sv},
        {"<?php\n<<<X\n  {$a[1]}\n  X;\n"sv, "<?php\n|<<<X\n|  |{|$a|[|1|]|}|\n|  X|;"sv},
        {"<?php $v=$o-> #[c]\r\na;"sv, "<?php |$v|=|$o|->|a|;"sv},
        {"<?php \"${a}${ a}$a[ k]\";"sv, "<?php |\"|${|a|}|${|a|}|$a|[|| k]|\"|;"sv},
        {"<?php echo <<<EOT\n{$a[\nEOT\n]} http://x\nEOT;\n"sv,
         "<?php |echo|<<<EOT\n|{|$a|[|EOT|]|}| http://x\n|EOT|;"sv},
        {"<?php __halt_compiler\r\n  yield?><?= public"sv,
         "<?php |__halt_compiler|yield|?>|<?=| public"sv},
        {"<?php enum /**/ A; enum\nB; & /**/ $a; &\n$b; yield\nfrom; yield /**/ from;"sv,
         "<?php |enum|A|;|enum|B|;|&|$a|;|&|$b|;|yield\nfrom|;|yield|from|;"sv},
    };
    for (const fila& f : kFilas) {
        SCOPED_TRACE(escapa(f.fuente));
        std::string piezas;
        escaner_php escaner(f.fuente);
        for (pieza leida = escaner.siguiente(); leida.clase != clase_pieza::fin;
             leida = escaner.siguiente()) {
            if (leida.clase != clase_pieza::blanco && leida.clase != clase_pieza::comentario) {
                piezas += std::string(piezas.empty() ? "" : "|") + std::string(leida.texto);
            }
        }
        EXPECT_EQ(escapa(f.piezas), escapa(piezas));
    }
    // What PHP tells apart beyond the bytes: T_ENUM or a name, & before a variable or not.
    lexico_php lexico("<?php enum /**/ A; enum\nB; & /**/ $a; &\n$b;");
    std::vector<matiz> matices;
    for (pieza leida = lexico.siguiente(); leida.clase != clase_pieza::fin;
         leida = lexico.siguiente()) {
        matices.push_back(leida.variante);
    }
    const std::vector<matiz> kMatices = {
        matiz::ninguno,           matiz::ninguno, matiz::ninguno, matiz::ninguno, matiz::enum_clave,
        matiz::ninguno,           matiz::ninguno, matiz::ninguno, matiz::ninguno, matiz::ninguno,
        matiz::ampersand_seguido, matiz::ninguno, matiz::ninguno};
    EXPECT_EQ(kMatices, matices);
}

// Runs are skipped 16 bytes at a time, and their last bytes one by one: the
// same tokens, kinds and lines wherever a construct falls and wherever in a
// block the byte that ends a run stands. Each @ takes 0 to 39 bytes ~ (plain
// text to PHP there), and code follows, so that runs are searched by blocks
// too; lines are counted here byte by byte.
TEST(Lexico, EnCualquierPosicion) {
    const std::string_view kConstrucciones[] = {
        "'a@\\'b@\\\\' . 'c@\r\nd';"sv,
        "\"x@\\\"y@ $a@{$b}@${c}@$d[1]@$e->f@\";"sv,
        "`ls@$d@\\`@x`;"sv,
        "<<<EOT\r\n  a@$x@\\$\r\n  @{$y}@\r\n  EOT;\r\n$z;"sv,
        "<<<'N'\nraw@$x@\rN@\nN;\n"sv,
        "// c@?@d ?> <b>x@</b><?php\n$a;"sv,
        "# c@\r\n$a; #[At]\nfunction f(){}"sv,
        "/* a@\r\r\n b@*/ /** d@\n */ $z; /*@*/"sv,
        "?>\r\n<p>@\r</p><?php\recho __LINE__;"sv,
    };
    // A piece as the lexical view gives it: a tag without the line end it takes.
    const auto recorta = [](const pieza& p) {
        return p.clase == clase_pieza::apertura ? p.texto.substr(0, p.texto[2] == '=' ? 3 : 5)
               : p.clase == clase_pieza::cierre ? p.texto.substr(0, 2)
                                                : p.texto;
    };
    for (const std::string_view construccion : kConstrucciones) {
        std::string esperados;
        for (std::size_t relleno = 0; relleno < 40; ++relleno) {
            std::string fuente = "<?php" + std::string(relleno + 1, ' ') +
                                 std::string(relleno % 3, '\n') + std::string(construccion) + "\n" +
                                 std::string(40, ' ') + "$fin;";
            for (std::size_t k = fuente.find('@'); k != std::string::npos; k = fuente.find('@')) {
                fuente.replace(k, 1, std::string(relleno, '~'));
            }
            SCOPED_TRACE(escapa(fuente));
            // Past the first open tag, the pieces joined by |; every token,
            // whitespace and comments too, on the line PHP counts.
            std::string cortes;
            escaner_php escaner(fuente);
            escaner.siguiente();
            for (pieza leida = escaner.siguiente(); leida.clase != clase_pieza::fin;
                 leida = escaner.siguiente()) {
                const auto inicio = static_cast<std::size_t>(leida.texto.data() - fuente.data());
                std::int64_t linea = 1;
                for (std::size_t i = 0; i < inicio; ++i) {
                    linea += fuente[i] == '\n' || (fuente[i] == '\r' && fuente[i + 1] != '\n');
                }
                ASSERT_EQ(linea, leida.linea) << escapa(leida.texto);
                if (leida.clase != clase_pieza::blanco && leida.clase != clase_pieza::comentario) {
                    cortes += std::string(recorta(leida)) + "|";
                }
            }
            // Without the filler, and without the pieces of filler alone.
            std::string sin_relleno;
            for (std::size_t i = 0, fin = 0; i < cortes.size(); i = fin + 1) {
                fin = cortes.find('|', i);
                std::string corte = cortes.substr(i, fin - i);
                corte.erase(std::remove(corte.begin(), corte.end(), '~'), corte.end());
                if (!corte.empty() || fin == i) {
                    sin_relleno += corte + "|";
                }
            }
            if (relleno == 0) {
                esperados = sin_relleno;
            }
            EXPECT_EQ(escapa(esperados), escapa(sin_relleno));
            // The lexical view passes over whitespace and comments itself.
            std::string del_lexico;
            lexico_php lexico(fuente);
            lexico.siguiente();
            for (pieza leida = lexico.siguiente(); leida.clase != clase_pieza::fin;
                 leida = lexico.siguiente()) {
                del_lexico += std::string(leida.texto) + "|";
            }
            EXPECT_EQ(escapa(cortes), escapa(del_lexico));
        }
    }
}

// Where both sources hold the same bytes ahead for long, the check reads the
// original alone there. Each @ takes 40 lines of code, so that the common
// runs are long; what decides a token at their ends lies past them.
TEST(Lexico, TramosComunes) {
    struct fila {
        const char* nombre;
        std::string original;
        std::string compactado;
        std::int64_t linea;  // 0: the same program
        motivo_diferencia motivo = kPrograma;
        std::int64_t desfase = 0;
    };
    const std::string espacios(100, ' ');
    // Whitespace over lines: a token decided past them must be found on its
    // own line, not on the next one's.
    const std::string saltos = " \n\n\n" + espacios;
    const std::string lineas = [] {
        std::string texto;
        for (int i = 0; i < 40; ++i) {
            texto += "xxxx\n";
        }
        return texto;
    }();
    const fila kFilas[] = {
        {"a comment dropped between runs", "<?php\n@// x\n@echo 1;\n", "<?php\n@\n@echo 1;\n", 0},
        {"__LINE__ in a run, a line fewer before", "<?php\n\n@echo __LINE__;@",
         "<?php\n@echo __LINE__;@", 43, kLineaMagica},
        {"__LINE__ in a run, a header makes up the line", "<?php\n\n@__LINE__;@",
         "<?php\n@__LINE__;@", 0, kPrograma, 1},
        {"__LINE__ in a run, a header one line too many", "<?php\n@__LINE__;@",
         "<?php\n@__LINE__;@", 42, kLineaMagica, 1},
        {"__LINE__ on its line, a comment dropped", "<?php\n@echo __LINE__; // x\n@",
         "<?php\n@echo __LINE__; \n@", 0},
        {"the rest the same to the end", "<?php // x\n@", "<?php \n@", 0},
        {"the rest the same to the end, __LINE__ moved", "<?php\n// x\n\n@__LINE__;",
         "<?php\n// x\n@__LINE__;", 44, kLineaMagica},
        {"a run ends inside a name", "<?php\n@$abcdef = 1;\n", "<?php\n@$abcdeg = 1;\n", 42},
        {"the other ends first", "<?php\n@echo 1;", "<?php\n@echo", 42},
        {"& and lines past the run", "<?php\n@f(&" + saltos + "$a);",
         "<?php\n@f(&" + saltos + "1);", 42},
        {"enum and lines past the run", "<?php\n@enum" + saltos + "Foo {}",
         "<?php\n@enum" + saltos + "(1);", 42},
        {"yield and lines past the run", "<?php\n@yield" + saltos + "fro($a);",
         "<?php\n@yield" + saltos + "from $a;", 42},
        {"a cast with spaces past the run", "<?php\n@$a = (" + espacios + "int" + espacios + ");",
         "<?php\n@$a = (" + espacios + "int" + espacios + "x;", 42},
        {"a string's first part past the run", "<?php\n@echo \"" + lineas + "$a\";",
         "<?php\n@echo \"" + lineas + "a\";", 42},
        {"${ and a long name past the run", "<?php\n@\"${" + espacios + "}\";",
         "<?php\n@\"${" + espacios + "]\";", 42},
        {"a heredoc closed past the run, another indentation", "<?php\n@$h = <<<EOT\n@  EOT;\n",
         "<?php\n@$h = <<<EOT\n@    EOT;\n", 83},
        {"a heredoc's closing marker at the run's end", "<?php\n@$h = <<<EOT\n@EOT;\n@",
         "<?php\n@$h = <<<EOT\n@EOTX;\n@", 82},
        {"a heredoc closed on its first line, indented past the run",
         "<?php\n@$h = <<<EOT\n" + espacios + "EOT;\n",
         "<?php\n@$h = <<<EOT\n" + espacios + "EOTX;\n", 43},
        {"a string open in one, closed in the other", "<?php\n@\"{$a}@\";", "<?php\n@\"{$a}\"@;",
         42},
        // The skip over code stops only where a token starts: __LINE__ inside
        // a name or variable is no __LINE__, after a number it is one.
        {"__LINE__ inside a variable, a line fewer before", "<?php\n\n@$a__LINE__;@",
         "<?php\n@$a__LINE__;@", 0},
        {"__LINE__ inside a name, a line fewer before", "<?php\n\n@f(a__LINE__, __LINE__x);@",
         "<?php\n@f(a__LINE__, __LINE__x);@", 0},
        {"__LINE__ after a namespace separator or ->", "<?php\n\n@\\__LINE__; $o->__LINE__;@",
         "<?php\n@\\__LINE__; $o->__LINE__;@", 0},
        {"__LINE__ right after a number", "<?php\n\n@$a = 1__LINE__;@", "<?php\n@$a = 1__LINE__;@",
         43, kLineaMagica},
        {"__LINE__ right after a hexadecimal number", "<?php\n\n@$a = 0xa__LINE__;@",
         "<?php\n@$a = 0xa__LINE__;@", 43, kLineaMagica},
        {"__LINE__ after a braced block", "<?php\n\n@if ($a) { $b = [1, 2]; }__LINE__;@",
         "<?php\n@if ($a) { $b = [1, 2]; }__LINE__;@", 43, kLineaMagica},
        {"__halt_compiler after a run", "<?php\n@$a = 1;__halt_compiler();@x",
         "<?php\n@$a = 1;__halt_compiler();@y", 42},
        {"a number's exponent at the run's end", "<?php\n@$a = 1e-5;@", "<?php\n@$a = 1e-6;@", 42},
        {"a name's e before a minus at the run's end", "<?php\n@$e-5;@", "<?php\n@$e-6;@", 42},
        {"a binary string at the run's end", "<?php\n@$a = b'x';@", "<?php\n@$a = b'y';@", 42},
        {"a binary heredoc after a run", "<?php\n@$a = b<<<EOT\n@EOT;\n",
         "<?php\n@$a = b<<<EOT\n@ EOT;\n", 83},
        {"a string closed past the run's end", "<?php\n@$a = 'x" + espacios + "';@",
         "<?php\n@$a = 'x" + espacios + "y';@", 42},
        {"a } that ends a string's part, in a run", "<?php\n@$a = \"{$b}@\";\n",
         "<?php\n@$a = \"{$b}@\" ;\n", 0},
        {"a } that ends a string's part, the string differs", "<?php\n@$a = \"{$b}@x\";\n",
         "<?php\n@$a = \"{$b}@y\";\n", 81},
        {"-> and a property across the run's end", "<?php\n@$o->abcdef;@", "<?php\n@$o->abcdeg;@",
         42},
        {"?> after a ; passed over, the end trimmed", "<?php\n@$a = 1; ?>\n\n", "<?php\n@$a = 1;",
         0},
        {"?> after a ) passed over, the end trimmed", "<?php\n@f() ?>\n\n", "<?php\n@f()", 42},
    };
    const std::string codigo = [] {
        std::string texto;
        for (int i = 0; i < 40; ++i) {
            texto += "$v = 1;\n";
        }
        return texto;
    }();
    const auto rellena = [&](std::string texto) {
        for (std::size_t k = texto.find('@'); k != std::string::npos; k = texto.find('@', k)) {
            texto.replace(k, 1, codigo);
            k += codigo.size();
        }
        return texto;
    };
    for (const fila& f : kFilas) {
        const std::string original = rellena(f.original);
        const std::string compactado = rellena(f.compactado);
        SCOPED_TRACE(f.nombre);
        const comparacion hallada =
            compara_php(original, compactado, modo_comparacion::programa, f.desfase);
        EXPECT_EQ(f.linea == 0, hallada.iguales);
        EXPECT_EQ(f.linea, hallada.iguales ? 0 : hallada.linea);
        EXPECT_EQ(f.linea == 0 ? motivo_diferencia::ninguno : f.motivo, hallada.motivo);
        const comparacion paso =
            compara_php_paso_a_paso(original, compactado, modo_comparacion::programa, f.desfase);
        EXPECT_EQ(paso.iguales, hallada.iguales);
        EXPECT_EQ(paso.linea, hallada.linea);
        EXPECT_EQ(paso.motivo, hallada.motivo);
    }
}

// The run of common bytes ends at every byte of each construct, by a byte
// taken out, a byte changed, a line end added: the shortcut finds what reading
// both sources token by token finds, whatever the line shift, with every
// token's line compared or not.
TEST(Lexico, TramosQueAcabanEnCualquierByte) {
    const std::string espacios(40, ' ');
    const std::string saltos = "\n\n\r\n" + espacios;
    const std::string construcciones[] = {
        "f(&" + saltos + "$a); $b = $c & $d;",
        "enum" + saltos + "Foo {} yield" + saltos + "from $a;",
        "$a = (" + espacios + "int" + espacios + ") $b; $c = ( float ) 1;",
        "echo \"abc" + espacios + "{$a[1]} $b->c ${d} ${e[1]} $f[2]\";",
        "echo `ls $a`; echo 'x\\'y'; echo b\"q $a\";",
        "$h = <<<EOT\n  a $x {$y}\n" + espacios + "EOT;\n$n = <<<'N'\n  raw\n  N;\n",
        "$i = <<<EOT\nEOT;\n$j = <<<\"E\"\n{$a[\nE\n]}\nE;\n",
        "// c ?> <b>x</b><?php\n# d\n/* e */ /** f\n */ #[A]\n",
        "$o->class; $o?->list; $o-> #[c]\na; echo __LINE__;",
        "__halt_compiler ( ) ; raw data\n\r\n",
        "0x1F + 0b101 + 1_000.5e-3 + .5 + 07 <=> $a ?\?= $b ** 2 ... $c;",
        // What the skip over code must cut as the scanner does.
        "$x = 1e-5 + $e-5 + $abe-1 + 1.e-3 + .5e-2 - 0x1e-1 + 1E-2;",
        "$y = $a__LINE__ + 1__LINE__ + 0xa__LINE__ + \\__LINE__ + a\\__LINE__ + __LINE__ + "
        "$o->__LINE__ + __line__;",
        "$s = b'x' . B\"y $a\" . 'q\\'r' . \"s\\\"t\" . \"{$u}\" . b<<<EOT\nz\nEOT;\n",
        "$t = $a-->$b ?? $c ?\?= $d <<= 1 <=> $e?->f?->g->h-> i ?-> j <<<< 2 / 3 /= 4;",
        "if ($a) { $b = [1, 2]; } else { $c = function () { return \"{$d}\"; }; }",
        "yield  from $g; enum  E {} $z = (int) $w & $v; ?>\n<?php /* c */ $u = 2; ?><?php\n",
    };
    const std::string codigo = [] {
        std::string texto;
        for (int i = 0; i < 30; ++i) {
            texto += "$v = 1;\r\n";
        }
        return texto;
    }();
    std::size_t comparadas = 0;
    for (const std::string& construccion : construcciones) {
        const std::string original = "<?php\n" + codigo + construccion + "\n" + codigo;
        const std::size_t desde = 6 + codigo.size() - 4;
        const std::size_t hasta = desde + construccion.size() + 8;
        for (std::size_t k = desde; k < hasta; ++k) {
            std::string sin = original;
            sin.erase(k, 1);
            std::string cambiado = original;
            cambiado[k] = cambiado[k] == ' ' ? '\n' : ' ';
            std::string con_salto = original;
            con_salto.insert(k, "\n");
            for (const std::string* otro : {&sin, &cambiado, &con_salto}) {
                for (const std::int64_t desfase : {0, 1, -1}) {
                    for (const bool al_reves : {false, true}) {
                        for (const modo_comparacion modo :
                             {modo_comparacion::programa, modo_comparacion::lineas}) {
                            const std::string& a = al_reves ? *otro : original;
                            const std::string& b = al_reves ? original : *otro;
                            SCOPED_TRACE(escapa(a) + " / " + escapa(b));
                            const comparacion hallada = compara_php(a, b, modo, desfase);
                            const comparacion paso = compara_php_paso_a_paso(a, b, modo, desfase);
                            ASSERT_EQ(paso.iguales, hallada.iguales);
                            ASSERT_EQ(paso.linea, hallada.linea);
                            ASSERT_EQ(paso.motivo, hallada.motivo);
                            ++comparadas;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(comparadas, 20000U);
}

// The skip over code in the check (salta_codigo) stops only where the
// scanner's own reading starts a token, in the state that reading leaves,
// and its reach stays within the bytes it was given: each construct at every
// alignment, with the bytes given ending anywhere in it.
TEST(Lexico, SaltoDeCodigoCortaComoElEscaner) {
    const std::string construcciones[] = {
        "$x = 1e-5 + $e-5 + $abe-1 + 1.e-3 + .5e-2 - 0x1e-1 + 1E-2 + 1_0e-1;",
        "$y = $a__LINE__ + 1__LINE__ + 0xa__LINE__ + \\__LINE__ + a\\__LINE__ + __LINE__ + "
        "$o->__LINE__ + __line__ + $__x + ___y + 1.e5__z + $b.c__d;",
        "$s = b'x' . B\"y $a\" . 'q\\'r' . \"s\\\"t\" . \"{$u}\" . "
        "b<<<EOT\nz\nEOT;\n$b'x';ab\"y\";",
        "$t = $a-->$b ?? $c ?\?= $d <<= 1 <=> $e?->f?->g->h-> i ?-> j <<<< 2 / 3 /= 4 ?\?> 5;",
        "if ($a) { $b = [1, 2]; } else { $c = function () { return \"{$d} ${e}\"; }; }",
        "yield  from $g; enum  E {} $z = (int) $w & $v; (int__x); ?>\n<?php /* c */ $u = 2;",
        "$h = <<<X\n  {$a[1]} $b->c\n  X;\n$n = <<<'N'\nq\nN;\n# c\n// d ?>x<?php\n",
        "f(&$a, & $b); $c = `ls`; /** d */ #[A] __halt_compiler(); raw } {",
    };
    // Code with no stop byte for longer than the skip looks: with separators
    // to stop after, and without any.
    std::string con_separadores = "$m = [";
    std::string sin_separadores = "$n = 1";
    for (int i = 0; i < 300; ++i) {
        con_separadores += "1 => $a,";
        sin_separadores += " + a";
    }
    con_separadores += "];";
    sin_separadores += "; $p = __LINE__;";
    const std::string largas[] = {con_separadores, sin_separadores};
    std::string relleno;
    for (int i = 0; i < 12; ++i) {
        relleno += "$v = $w->x + 1;\n";
    }
    std::size_t saltos = 0;
    std::vector<std::string> todas(std::begin(construcciones), std::end(construcciones));
    todas.insert(todas.end(), std::begin(largas), std::end(largas));
    for (const std::string& construccion : todas) {
        const bool larga = construccion.size() > 1000;
        for (std::size_t sangria = 0; sangria < 33; sangria += larga ? 8 : 1) {
            const std::string fuente =
                "<?php\n" + relleno + std::string(sangria, ' ') + construccion + "\n" + relleno;
            const std::size_t inicio = 6 + relleno.size();
            std::vector<std::size_t> hastas = {SIZE_MAX};
            for (std::size_t k = inicio; k <= inicio + sangria + construccion.size() + 40;
                 k += larga ? 61 : 3) {
                hastas.push_back(k);
            }
            for (const std::size_t hasta : hastas) {
                SCOPED_TRACE(escapa(fuente) + " hasta " + std::to_string(hasta));
                escaner_php salto(fuente, false, false, false);
                escaner_php paso(fuente, false, false, false);
                for (;;) {
                    const std::size_t desde = salto.posicion();
                    std::size_t ultimo = SIZE_MAX;
                    salto.olvida_alcance();
                    salto.salta_codigo(hasta, ultimo);
                    if (salto.posicion() != desde) {
                        ++saltos;
                        ASSERT_TRUE(hasta == SIZE_MAX || salto.alcance() <= hasta);
                    }
                    const pieza leida = salto.siguiente();
                    // The step by step reading, up to the same token.
                    pieza esperada = paso.siguiente();
                    pieza antes{clase_pieza::fin, {}, 0};
                    while (esperada.clase != clase_pieza::fin &&
                           esperada.texto.data() < leida.texto.data()) {
                        antes = esperada;
                        esperada = paso.siguiente();
                    }
                    ASSERT_EQ(esperada.clase, leida.clase);
                    ASSERT_EQ(esperada.texto.data(), leida.texto.data());
                    ASSERT_EQ(esperada.texto, leida.texto);
                    ASSERT_EQ(esperada.variante, leida.variante);
                    ASSERT_TRUE(salto.mismo_estado(paso));
                    if (ultimo != SIZE_MAX) {
                        // The last byte of the last token passed over.
                        ASSERT_FALSE(antes.texto.empty());
                        ASSERT_EQ(fuente.data() + ultimo, &antes.texto.back());
                    }
                    if (leida.clase == clase_pieza::fin) {
                        break;
                    }
                }
            }
        }
    }
    EXPECT_GT(saltos, 10000U);
}

// Where a notice may stand: before a declare, PHP wants nothing but comments.
TEST(Lexico, EmpiezaConDeclare) {
    struct fila {
        std::string_view fuente;
        bool declare;
    };
    const fila kFilas[] = {
        {"<?php declare(strict_types=1);"sv, true},
        {"<?php\r\n// a\r\n/* b */ /** c */ # d\r\nDeclare (strict_types=1);"sv, true},
        {"<?PHP\tDECLARE(ticks=1);"sv, true},
        {"#!/usr/bin/env php\n<?php declare(strict_types=1);"sv, true},
        {"#!/usr/bin/env php\r\n<?php declare(strict_types=1);"sv, true},
        {"<?php namespace A; declare(strict_types=1);"sv, false},
        {"<?php declare_x();"sv, false},
        {"<?php declare\\x();"sv, false},
        {"<?php $declare = 1;"sv, false},
        {"\n<?php declare(strict_types=1);"sv, false},
        {"<?= declare"sv, false},
        {"<?php"sv, false},
        {"#!php"sv, false},
        {""sv, false},
    };
    for (const fila& f : kFilas) {
        SCOPED_TRACE(escapa(f.fuente));
        EXPECT_EQ(f.declare, empieza_con_declare(f.fuente));
    }
    EXPECT_TRUE(empieza_con_interprete("#!/usr/bin/php\n<?php"));
    EXPECT_TRUE(empieza_con_interprete("#!"));
    EXPECT_FALSE(empieza_con_interprete(" #!/usr/bin/php"));
    EXPECT_FALSE(empieza_con_interprete("<?php #!"));
    EXPECT_FALSE(empieza_con_interprete("#"));
}

}  // namespace

}  // namespace kexo
