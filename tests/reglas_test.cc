#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "lexical/lectura_php.h"
#include "lexical/lexico_php.h"
#include "lexical/reglas_php.h"
#include "notice/aviso.h"
#include "tests/escapa.h"
#include "tests/semillas.h"

namespace kexo {

using namespace std::string_view_literals;

namespace {

struct caso {
    std::string_view fuente;
    std::string_view compactada;
};

// PHP ran every source and its compaction with the same output, and its
// tokenizer found every token of both on the same line
// (php bench/juez_php.php --pares, mode lineas).
const caso kCasos[] = {
    // comments go, their line breaks stay
    {"<?php\r\n// c\r\n$a = 1; /* x\r\ny */ $b = 2;\r\n"sv, "<?php\r\n\r\n$a=1;\r\n$b=2;\r\n"sv},
    // one space where tokens would join
    {"<?php\n$a = 1;\n$b = $a + +$a - -$a . .5 . 1;\necho $b, \"\\n\";\n"sv,
     "<?php\n$a=1;\n$b=$a+ +$a- -$a..5. 1;\necho$b,\"\\n\";\n"sv},
    // casts: inside them only spaces and tabs
    {"<?php $b = '7'; $a = ( int ) $b; $c = (/**/int) $b; $d = ( int\n) $b; var_dump($a, $c);"sv,
     "<?php $b='7';$a=( int )$b;$c=(/**/int)$b;$d=(int\n)$b;var_dump($a,$c);"sv},
    // yield from: a comment stays where it keeps two tokens
    {"<?php function g() { yield /* c */ from [1]; yield\n  from [2]; }\nforeach (g() as $v) echo $v;\n"sv,
     "<?php function g(){yield /* c */ from[1];yield\n  from[2];}\nforeach(g()as$v)echo$v;\n"sv},
    // &'s kind: a comment stays where it keeps it
    {"<?php function f(& /**/ $a) { $a = 2; } $x = 1 & /**/ 3; $y = 1 &\n 3; echo $x, $y;"sv,
     "<?php function f(& /**/ $a){$a=2;}$x=1&3;$y=1&\n3;echo$x,$y;"sv},
    // strings whole, {$...} included
    {"<?php $b = 5; $a = \"x  {$b  }  y ${b}  $b \";  $c = 'p  q'; echo $a, $c;"sv,
     "<?php $b=5;$a=\"x  {$b  }  y ${b}  $b \";$c='p  q';echo$a,$c;"sv},
    // heredoc and nowdoc with CR LF
    {"<?php\r\n$x = 1;\r\necho <<<EOT\r\n  a {$x} \r\n  EOT;\r\necho <<<'N'\r\nb  // c\r\nN;\r\n"sv,
     "<?php\r\n$x=1;\r\necho<<<EOT\r\n  a {$x} \r\n  EOT;\r\necho<<<'N'\r\nb  // c\r\nN;\r\n"sv},
    // doc comments and attributes
    {"<?php\n/**\n * Doc.\n */\n#[Attribute]\nclass A { /** x */ public $b = 1; }\necho (new ReflectionClass('A'))->getDocComment();"sv,
     "<?php\n/**\n * Doc.\n */\n#[Attribute]\nclass A{/** x */public$b=1;}\necho(new ReflectionClass('A'))->getDocComment();"sv},
    // inline HTML, tags and the line end ?> takes
    {"<p>\n<?php   echo 1 ?>\n<b> <?php echo 2; ?>\r\n\r\n<?=  3  ?>\n"sv,
     "<p>\n<?php echo 1?>\n<b> <?php echo 2;?>\r\n\r\n<?=3?>\n"sv},
    // __halt_compiler's data
    {"<?php  __halt_compiler ( ) ;  raw // data\r\n"sv,
     "<?php __halt_compiler();  raw // data\r\n"sv},
    // a #! line and __LINE__
    {"#!/usr/bin/env php\n<?php\n  echo __LINE__;   // x\n"sv,
     "#!/usr/bin/env php\n<?php\necho __LINE__;\n"sv},
    // enum's kind
    {"<?php enum/**/Foo { case A; } enum\nBar { case B; } echo Bar::B->name;"sv,
     "<?php enum/**/Foo{case A;}enum\nBar{case B;}echo Bar::B->name;"sv},
    // after -> and ?->
    {"<?php $o = (object)['p' => 3]; echo $o-> // c\n  p, $o?->/**/p;"sv,
     "<?php $o=(object)['p'=>3];echo$o->\np,$o?->p;"sv},
    // names
    {"<?php namespace A\\B; class C {} echo \\A\\B\\C::class, namespace\\C::class, __NAMESPACE__ ;"sv,
     "<?php namespace A\\B;class C{}echo \\A\\B\\C::class,namespace\\C::class,__NAMESPACE__;"sv},
    // < before a heredoc
    {"<?php $a = 1; $b = 2; $c = $a < <<<X\n3\nX;\nvar_dump($c, $a << 1, $a <=> $b, $a ?-> b ?? 4);"sv,
     "<?php $a=1;$b=2;$c=$a< <<<X\n3\nX;\nvar_dump($c,$a<<1,$a<=>$b,$a?->b??4);"sv},
    // lone CRs are lines
    {"<?php $a = 1;\r$b = 2;\recho __LINE__ , $a . $b;"sv,
     "<?php $a=1;\r$b=2;\recho __LINE__,$a.$b;"sv},
    // increments and signs
    {"<?php\n$a = [1, 2]; $i = 0;\necho $a [ $i ] , $i ++ + ++ $i , - -1, + +1, $i --  - -- $i;\n"sv,
     "<?php\n$a=[1,2];$i=0;\necho$a[$i],$i+++ ++$i,- -1,+ +1,$i--- --$i;\n"sv},
    // interpolation and backticks
    {"<?php $x = 'a'; $y = \"$x[0] {$x} {$x\n}\"; echo $y; echo `echo  ok`; // a\n"sv,
     "<?php $x='a';$y=\"$x[0] {$x} {$x\n}\";echo$y;echo`echo  ok`;\n"sv},
    // alternative syntax and # comments
    {"<?php if (1): ?>\n  <i>x</i>\n<?php endif; # c\n?>\n"sv,
     "<?php if(1):?>\n  <i>x</i>\n<?php endif;\n?>\n"sv},
    // a lone CR and a LF further on stay two lines
    {"<?php $a = 1;\r /* x */\n$b = 2;"sv, "<?php $a=1;\r \n$b=2;"sv},
    // a closing marker keeps a byte after it; a lone CR in the open tag stays a line
    {"<?php $a = <<<X\nfoo\nX  "sv, "<?php $a=<<<X\nfoo\nX "sv},
    {"<?php\r# c\nf();"sv, "<?php\r \nf();"sv},
    // << < NAME and a line end would open a heredoc: the comment stays
    {"<?php $a <<<X /* c */\nif(1);"sv, "<?php $a<<<X /* c */\nif(1);"sv},
    {"<?php $a <<<X /* c */\n(1);"sv, "<?php $a<<<X /* c */\n(1);"sv},
    // tabs
    {"<?php\n\t\t$a = 1 ;\t// tab\n\t\treturn ;\n"sv, "<?php\n$a=1;\nreturn;\n"sv},
    // a name before a name keeps the one space it had; before a variable or a block, none
    {"<?php\nclass A {\n    public function f($x) {\n        return $x;\n    }\n    public static function g() { try { return 1; } finally { echo 2; } }\n}\necho A::g(), (new A)->f(3);\n"sv,
     "<?php\nclass A{\npublic function f($x){\nreturn$x;\n}\npublic static function g(){try{return 1;}finally{echo 2;}}\n}\necho A::g(),(new A)->f(3);\n"sv},
    // after `[`, a closed string or a doc comment, only the line breaks
    {"<?php\n$a = [\n    'k' => 1,   // one\n    \"j\" => 2,\n    `echo x`\n    , 'z'\n];\n/** Doc. */\n\n  function f() {}\necho count($a);\n"sv,
     "<?php\n$a=[\n'k'=>1,\n\"j\"=>2,\n`echo x`\n,'z'\n];\n/** Doc. */\n\nfunction f(){}\necho count($a);\n"sv},
    // `<<<`, a quoted name and a line end would open a nowdoc: the space stays
    {"<?php $a = 1; $b = <<<'X' \nif(1);"sv, "<?php $a=1;$b=<<<'X' \nif(1);"sv},
    // and a heredoc's: the tab goes, `<< <` stays apart
    {"<?php $a = 1; $b = << <\"X\"\t\n;"sv, "<?php $a=1;$b=<< <\"X\"\n;"sv},
    // a name before a quote is looked at: `b'y'` would be one string
    {"<?php $b = 'x'; $a = $b . b 'y'; if ($a) { echo $a , $b ; } else { echo 0; }"sv,
     "<?php $b='x';$a=$b.b 'y';if($a){echo$a,$b;}else{echo 0;}"sv},
    // operators before numbers and variables, `:` and `?:`: nothing between
    {"<?php\n$i = 0; $a = [1, 2];\n$b = $i == 0 ? $a [ 1 ] : - 1;\n$c = $b + 1 - $i;\n$d = $i > 1 ? : 3;\nswitch ($b) { case 2 :\n  echo $b , $c , $d, $a [0] . 'x' ; }\n"sv,
     "<?php\n$i=0;$a=[1,2];\n$b=$i==0?$a[1]:-1;\n$c=$b+1-$i;\n$d=$i>1?:3;\nswitch($b){case 2:\necho$b,$c,$d,$a[0].'x';}\n"sv},
    // a sign after an `e` could make an exponent: `1E- 3` stays apart
    {"<?php $e = 3; $x = 1E /* c */ - 3; $y = 1. E - 3; echo $x;"sv,
     "<?php $e=3;$x=1E- 3;$y=1.E- 3;echo$x;"sv},
    // a name inside what could be a cast keeps what parts it from `)`
    {"<?php $b = '7'; $a = ( int /* c */) $b; $c = (int /* c */ ) $b;"sv,
     "<?php $b='7';$a=(int /* c */)$b;$c=(int /* c */ )$b;"sv},
    // `namespace` and `\\B` would make one name
    {"<?php namespace A; const B = 1; echo namespace /* c */ \\B, \"\\n\";"sv,
     "<?php namespace A;const B=1;echo namespace \\B,\"\\n\";"sv},
    // strings of several tokens after a line end, each of their tokens read again
    {"<?php\n$x = 'a'; $y = [1];\necho $x .\n    \"b{$x}c$y[0]\" .\n    <<<EOT\n  d $x\n  EOT\n    . \"e\" , \"\\n\";\nfunction f($x) {\n    return\n        \"r$x\" ;\n}\necho f(1);\n"sv,
     "<?php\n$x='a';$y=[1];\necho$x.\n\"b{$x}c$y[0]\".\n<<<EOT\n  d $x\n  EOT\n.\"e\",\"\\n\";\nfunction f($x){\nreturn\n\"r$x\";\n}\necho f(1);\n"sv},
};

TEST(ReglasPhp, Compacta) {
    for (const caso& c : kCasos) {
        SCOPED_TRACE(escapa(c.fuente));
        const std::string hecha = compacta_php(c.fuente);
        EXPECT_EQ(escapa(c.compactada), escapa(hecha));
        EXPECT_TRUE(compara_php(c.fuente, hecha, modo_comparacion::lineas).iguales);
        EXPECT_EQ(escapa(hecha), escapa(compacta_php(hecha)));
    }
}

// What has no code is left as it is.
TEST(ReglasPhp, SinCodigo) {
    for (const std::string_view fuente :
         {""sv, "<html>\r\n</html>"sv, "<? echo 1; ?>"sv, "<?phpx echo 1;"sv, "<?php"sv, "<?php "sv,
          "<?php\r\n"sv, "#!/bin/php\n"sv}) {
        SCOPED_TRACE(escapa(fuente));
        EXPECT_EQ(escapa(fuente), escapa(compacta_php(fuente)));
    }
    // Whitespace and comments at the very end: their line breaks stay.
    EXPECT_EQ(escapa("<?php f();\r\n\n"), escapa(compacta_php("<?php f(); \r\n // x\n  ")));
    EXPECT_EQ(escapa("<?php f();\n"), escapa(compacta_php("<?php f(); /* a\n b")));
}

// A gap's line breaks stay as they were, however they mix (a lone CR keeps a
// space before a later LF) and wherever they stand: each gap moved by 0 to 33
// spaces before it, so that its breaks and a CR LF's two bytes fall on either
// side of every 16-byte step, between two statements and at the very end.
TEST(ReglasPhp, SaltosDelHueco) {
    const std::string lf70(70, '\n');
    std::string crlf70;
    for (int i = 0; i < 70; ++i) {
        crlf70 += "\r\n";
    }
    const std::pair<std::string, std::string> huecos[] = {
        {" ", ""},
        {"\t \n  ", "\n"},
        {"\r\n    ", "\r\n"},
        {"\r", "\r"},
        {"\r  \n", "\r \n"},
        {"\r\t/* c */\n ", "\r \n"},
        {"\n\r", "\n\r"},
        {"\r\r\n", "\r\r\n"},
        {"\n\r\n\t", "\n\r\n"},
        {"\r\n\n", "\r\n\n"},
        {"/* a\r\nb */ \n", "\r\n\n"},
        {"// c\r\n  \r\n", "\r\n\r\n"},
        {lf70 + " ", lf70},
        {crlf70, crlf70},
        {crlf70 + "\n", crlf70 + "\n"},
    };
    for (const auto& [hueco, saltos] : huecos) {
        for (std::size_t antes = 0; antes <= 33; ++antes) {
            const std::string gap = std::string(antes, ' ') + hueco;
            const std::string fuente = "<?php $a=1;" + gap + "$b=2;" + gap;
            SCOPED_TRACE(escapa(fuente));
            const std::string hecha = compacta_php(fuente);
            EXPECT_EQ(escapa("<?php $a=1;" + saltos + "$b=2;" + saltos), escapa(hecha));
            EXPECT_TRUE(compara_php(fuente, hecha, modo_comparacion::lineas).iguales);
        }
    }
}

// The fuzz seeds, kexo's examples: PHP's rules keep every piece on its line,
// take off bytes, and give the same bytes a second time.
TEST(ReglasPhp, Semillas) {
    const int vistas = por_cada_semilla([&](const std::string& ruta, const std::string& fuente) {
        SCOPED_TRACE(ruta);
        const std::string hecha = compacta_php(fuente);
        const comparacion misma = compara_php(fuente, hecha, modo_comparacion::lineas);
        EXPECT_TRUE(misma.iguales) << "line " << misma.linea;
        EXPECT_LE(hecha.size(), fuente.size());
        EXPECT_EQ(hecha, compacta_php(hecha));
    });
    EXPECT_GT(vistas, 30);
}

// A table's long runs with no gap are passed over where no token is kept:
// the same bytes as reading them token by token, with a gap of every kind
// put at every byte of the run's last 300, where the gap must look back at
// the tokens before it, and at every byte of its start.
TEST(ReglasPhp, PasoPorTablas) {
    // Rows with a number whose `e-` the pass stops at, then rows with no such
    // stop, over which it goes up to the last bytes before the gap.
    std::string fila;
    for (int k = 0; fila.size() < 1500; ++k) {
        fila += std::to_string(k) + "=>array(-" + std::to_string(k % 9) +
                (fila.size() < 1000 ? ",'a',\"b\",$v->p,F::C,1.5e-3,0x1F,$w[2]),"
                                    : ",'a',$v->p,F::C),");
    }
    const std::string inicio = "<?php\n$t=[";
    // What a gap after them must not run into; long tokens among them, so
    // that few lie between the end of what is passed over and the gap.
    const std::string largo(40, 'a');
    const std::string finales[] = {"$a.1;b'x';", "$" + largo + "--1;", "'" + largo + "'.-+1;"};
    // A tab alone too: the skip over code goes over whitespace, so the pass
    // must end before a tab as before a space, or the tab stays written.
    const std::string_view huecos[] = {" "sv,       "\t"sv,   "\n"sv,   "\r\n "sv,
                                       " /*c*/ "sv, "#c\n"sv, "//c\n"sv};
    std::size_t comparadas = 0;
    for (const std::string& final : finales) {
        const std::string cuerpo = fila + final;
        for (const std::string_view hueco : huecos) {
            for (std::size_t k = 0; k <= cuerpo.size(); ++k) {
                if (k > 300 && k + 300 < fila.size()) {
                    continue;
                }
                std::string con_hueco = cuerpo;
                con_hueco.insert(k, hueco);
                const std::string fuente = inicio + con_hueco + "\n];\n";
                SCOPED_TRACE(escapa(fuente.substr(inicio.size() + (k > 20 ? k - 20 : 0), 60)));
                lectura_php entera;
                entera.tramo_de_tabla = SIZE_MAX;
                const std::string leida = compacta_php(fuente, entera);
                ASSERT_TRUE(entera.completa);
                ASSERT_EQ(escapa(leida), escapa(compacta_php(fuente)));
                lectura_php tabla;
                tabla.tramo_de_tabla = 64;
                ASSERT_EQ(escapa(leida), escapa(compacta_php(fuente, tabla)));
                ++comparadas;
            }
        }
    }
    EXPECT_GT(comparadas, 10000U);
}

TEST(ReglasPhp, AvisoCabe) {
    EXPECT_TRUE(aviso_cabe_en_comentario("(c) Ejemplo S.L. <https://x.es/*>"));
    EXPECT_TRUE(aviso_cabe_en_comentario(""));
    EXPECT_FALSE(aviso_cabe_en_comentario("a */ b"));
    EXPECT_FALSE(aviso_cabe_en_comentario("a\r\nb"));
    EXPECT_FALSE(aviso_cabe_en_comentario("a\nb"));
    EXPECT_FALSE(aviso_cabe_en_comentario("a\rb"));
}

// Each result ran under PHP with the output of its source, __LINE__ included.
TEST(ReglasPhp, ConAviso) {
    const caso kAvisos[] = {
        {"<?php\n$a=1;echo __LINE__;"sv, "<?php /* (c) X */\n$a=1;echo __LINE__;"sv},
        {"<?php"sv, "<?php /* (c) X */"sv},
        {"<?php\tdeclare(strict_types=1);"sv, "<?php /* (c) X */\tdeclare(strict_types=1);"sv},
        {"<?PHP echo 1; ?>\n"sv, "<?PHP /* (c) X */ echo 1; ?>\n"sv},
        {"<html>\n<?php echo __LINE__;"sv, "<?php /* (c) X */ ?><html>\n<?php echo __LINE__;"sv},
        {"\n\n<p><?php echo __LINE__;"sv, "\n\n<?php /* (c) X */ ?><p><?php echo __LINE__;"sv},
        {"\r\n<?php\r\necho __LINE__;"sv, "\r\n<?php /* (c) X */\r\necho __LINE__;"sv},
        {"#!/usr/bin/php\n<?php echo __LINE__;"sv,
         "#!/usr/bin/php\n<?php /* (c) X */ echo __LINE__;"sv},
        {"#!/usr/bin/php\r\n<?php echo __LINE__;"sv,
         "#!/usr/bin/php\r\n<?php /* (c) X */ echo __LINE__;"sv},
        {"#!/usr/bin/php"sv, "#!/usr/bin/php"sv},
        {"<?= __LINE__ ?>"sv, "<?php /* (c) X */ ?><?= __LINE__ ?>"sv},
        {"<?phpx"sv, "<?php /* (c) X */ ?><?phpx"sv},
        {""sv, "<?php /* (c) X */ ?>"sv},
    };
    for (const caso& c : kAvisos) {
        SCOPED_TRACE(escapa(c.fuente));
        const std::string con = con_aviso_php(c.fuente, "(c) X");
        EXPECT_EQ(escapa(c.compactada), escapa(con));
    }
    EXPECT_EQ("<?php f();", con_aviso_php("<?php f();", "a */ b"));
    EXPECT_EQ("<?php f();", con_aviso_php("<?php f();", "a\nb"));
}

}  // namespace

}  // namespace kexo
