#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "compaction/compacta.h"
#include "lexical/lectura_php.h"
#include "lexical/lexico_php.h"
#include "lexical/reglas_php.h"
#include "tests/escapa.h"
#include "tests/semillas.h"

namespace kexo {

using namespace std::string_view_literals;

namespace {

// Constructs whose tokens, lines and kinds PHP's rules read as lexico_php
// does, each also in CR LF (see conCrLf).
const std::string_view kConstrucciones[] = {
    "<?php\n$x = 1;\necho <<<EOT\n  a {$x} ${x} $x[1] $x->y \\$ \n  EOT;\necho <<<'N'\nb // c\nN;\n"sv,
    "<?php $a = \"x {$b['k']} ${c} $d[0] $e->f {$g->h()} \\n\"; echo `ls $a`;"sv,
    "<?php echo <<<A\n{$x[<<<B\nin\nB]}\nA . 1;\n"sv,
    "<?php  __halt_compiler ( ) ;  raw // data\n\n<?php $x; ?>"sv,
    "<?php __halt_compiler"sv,
    "#!/usr/bin/env php\n<?php\n  echo __LINE__;   // x\n"sv,
    "<html>\n<p> <?= $a ?>\n</p>\n<?php echo 1;\n"sv,
    "<?php echo 1; ?>"sv,
    "<?php echo 1; ?>\n"sv,
    "<?php f();\n?>\n  \n"sv,
    "<?php\n/**\n * Doc.\n */\nclass A { /** x */ public $b = 1; /* c */ }\n"sv,
    "<?php /** open doc comment\n"sv,
    "<?php $s = 'unterminated\n"sv,
    "<?php\r$a = 1;\r\r$b = __LINE__;\r"sv,
    "<?php\n\r\n\r$a\n=\r\n__LINE__;"sv,
    "<?php enum Foo { case A; } $x = (int) $y; $z = ( string ) $w; yield from [1];"sv,
    "<?php function f(& $a, &...$b) {} $c = 1 & 2; $d = &$e;"sv,
    "<? echo 1; ?><?phpx <?php"sv,
    "<?php"sv,
    "<?php\n"sv,
    ""sv,
    "no code at all\n"sv,
    "<?php #[Attr]\n# c ?>\nHTML\n<?php // c ?>x"sv,
    "<?php $a?->b; $c->class; $d::class; namespace\\e();"sv,
};

std::string con_crlf(std::string_view fuente) {
    std::string salida;
    for (const char c : fuente) {
        if (c == '\n') {
            salida += '\r';
        }
        salida += c;
    }
    return salida;
}

// The kept tokens are lexico_php's, with their lines, the end's last.
void espera_lectura(std::string_view fuente, const lectura_php& lectura) {
    ASSERT_TRUE(lectura.completa);
    lexico_php lexico(fuente);
    for (std::size_t k = 0;; ++k) {
        const pieza p = lexico.siguiente();
        if (lectura.resto && k == lectura.piezas.size()) {
            // Past the bound: the scanner kept goes on as lexico_php.
            escaner_php resto = *lectura.resto;
            EXPECT_EQ(p.texto.data(), resto.siguiente().texto.data());
            return;
        }
        ASSERT_LT(k, lectura.piezas.size());
        const pieza_guardada& g = lectura.piezas[k];
        SCOPED_TRACE(k);
        EXPECT_EQ(static_cast<int>(p.clase), static_cast<int>(g.clase));
        EXPECT_EQ(static_cast<int>(p.variante), static_cast<int>(g.variante));
        EXPECT_EQ(static_cast<std::size_t>(p.texto.data() - fuente.data()), g.desde);
        EXPECT_EQ(p.texto.size(), g.largo);
        EXPECT_EQ(p.linea, static_cast<std::int64_t>(g.linea));
        if (p.clase == clase_pieza::fin) {
            EXPECT_EQ(k + 1, lectura.piezas.size());
            return;
        }
    }
}

// Three edits of `texto` at `p`, added to `otros`: a line end put in, the
// byte there taken out, and `injerto` put in.
void edita_en(const std::string& texto, std::size_t p, const char* injerto,
              std::vector<std::string>& otros) {
    std::string e = texto;
    otros.push_back(e.insert(p, "\n"));
    e = texto;
    otros.push_back(e.erase(p, 1));
    e = texto;
    otros.push_back(e.insert(p, injerto));
}

// Other sources to compare with: PHP's rules' bytes, kexo's, the source, and
// edits of PHP's rules' bytes that move a line, cut a token, add a
// __LINE__, or add whitespace or a close tag at the end.
std::vector<std::string> contrapartes(std::string_view fuente, const std::string& reglas) {
    std::vector<std::string> otros{reglas,
                                   compacta_fuente(fuente, nullptr).bytes,
                                   std::string(fuente),
                                   reglas + "\n ",
                                   reglas + "?>\n",
                                   reglas + " ?>x"};
    for (std::size_t p = 0; p < reglas.size(); p += 1 + reglas.size() / 7) {
        edita_en(reglas, p, " __LINE__ ", otros);
    }
    return otros;
}

// The verdicts (same or not, reason, line) of the check with the kept
// reading are compara_php's, in both modes, with and without a 3-line offset.
// Returns the reasons seen.
std::set<int> espera_veredictos(std::string_view fuente, const lectura_php& lectura,
                                const std::vector<std::string>& otros) {
    std::set<int> motivos;
    for (const std::string& otro : otros) {
        for (const modo_comparacion modo : {modo_comparacion::programa, modo_comparacion::lineas}) {
            for (const std::int64_t desfase : {0, 3}) {
                SCOPED_TRACE(escapa(otro));
                const comparacion hoy = compara_php(fuente, otro, modo, desfase);
                const comparacion leida = compara_php(fuente, lectura, otro, modo, desfase);
                EXPECT_EQ(hoy.iguales, leida.iguales);
                EXPECT_EQ(hoy.linea, leida.linea);
                EXPECT_EQ(static_cast<int>(hoy.motivo), static_cast<int>(leida.motivo));
                motivos.insert(static_cast<int>(hoy.motivo));
            }
        }
    }
    return motivos;
}

// PHP's rules keep the tokens of `fuente` as lexico_php reads them, and their
// check finds with them what compara_php finds; with the bound on what is
// kept lowered to each of `maximos` too, so that the check reads on with the
// scanner from every token. A bound of 0 stands for the whole source's tokens
// and one more.
void prueba_fuente(std::string_view fuente, std::set<int>& motivos,
                   std::vector<std::size_t> maximos) {
    SCOPED_TRACE(escapa(fuente));
    lectura_php lectura;
    const std::string reglas = compacta_php(fuente, lectura);
    EXPECT_EQ(escapa(compacta_php(fuente)), escapa(reglas));
    EXPECT_FALSE(lectura.resto.has_value());
    espera_lectura(fuente, lectura);
    const std::vector<std::string> otros = contrapartes(fuente, reglas);
    const std::set<int> vistos = espera_veredictos(fuente, lectura, otros);
    motivos.insert(vistos.begin(), vistos.end());
    for (std::size_t& maximo : maximos) {
        maximo = maximo == 0 ? lectura.piezas.size() + 1 : maximo;
    }
    for (const std::size_t maximo : maximos) {
        SCOPED_TRACE(maximo);
        lectura_php corta;
        corta.maximo = maximo;
        EXPECT_EQ(reglas, compacta_php(fuente, corta));
        EXPECT_EQ(maximo <= lectura.piezas.size(), corta.resto.has_value());
        espera_lectura(fuente, corta);
        espera_veredictos(fuente, corta, otros);
    }
}

// Sources whose result is edited at every byte below: a __LINE__ after a
// heredoc, lone CRs, tokens of 15, 16 and 17 bytes (the compare of up to 16
// bytes at once and past it), a last token at the very end, a close tag.
const std::string_view kEditadas[] = {
    "<?php\necho <<<EOT\n  a $x\n  EOT;\n$y = __LINE__;\n"sv,
    "<?php\r$a = 1;\r\r$b = __LINE__;\r"sv,
    "<?php $abcdefghijklmn = 'abcdefghijklm'; $abcdefghijklmno = 'abcdefghijklmn';\n"
    "$abcdefghijklmnop = 'abcdefghijklmno';\n$b = 22;"sv,
    "<?php\nf(1,\n2); /** d */\n?>\n"sv,
};

}  // namespace

// The check with the kept tokens finds what compara_php finds wherever the
// result parts from the source: a byte added (a line end, a lone CR, a space,
// a letter), taken out or changed at every place, with the bound on what is
// kept at every token too, so that the difference lies before, at and past
// the last token kept.
TEST(LecturaPhp, CadaByteEditado) {
    std::set<int> motivos;
    for (const std::string_view una : kEditadas) {
        for (const std::string& fuente : {std::string(una), con_crlf(una)}) {
            SCOPED_TRACE(escapa(fuente));
            lectura_php lectura;
            const std::string reglas = compacta_php(fuente, lectura);
            std::vector<std::string> otros;
            for (std::size_t p = 0; p <= reglas.size(); ++p) {
                for (const char c : {'\n', '\r', ' ', 'x'}) {
                    std::string e = reglas;
                    otros.push_back(e.insert(p, 1, c));
                }
                if (p < reglas.size()) {
                    std::string e = reglas;
                    otros.push_back(e.erase(p, 1));
                    e = reglas;
                    e[p] = e[p] == 'x' ? 'y' : 'x';
                    otros.push_back(e);
                }
            }
            const std::set<int> vistos = espera_veredictos(fuente, lectura, otros);
            motivos.insert(vistos.begin(), vistos.end());
            for (std::size_t maximo = 1; maximo <= lectura.piezas.size(); ++maximo) {
                SCOPED_TRACE(maximo);
                lectura_php corta;
                corta.maximo = maximo;
                EXPECT_EQ(reglas, compacta_php(fuente, corta));
                espera_veredictos(fuente, corta, otros);
            }
        }
    }
    EXPECT_EQ(5U, motivos.size());
}

TEST(LecturaPhp, Construcciones) {
    std::set<int> motivos;
    for (const std::string_view fuente : kConstrucciones) {
        // Every token the last one kept.
        std::vector<std::size_t> maximos;
        for (std::size_t m = 1; m <= 40; ++m) {
            maximos.push_back(m);
        }
        prueba_fuente(fuente, motivos, maximos);
        prueba_fuente(con_crlf(fuente), motivos, maximos);
    }
    // Every reason came up, so that each path of the check was compared.
    EXPECT_EQ(5U, motivos.size());
}

// The fuzz seeds and kexo's examples, real PHP.
TEST(LecturaPhp, Semillas) {
    std::set<int> motivos;
    const int vistas = por_cada_semilla([&](const std::string& ruta, const std::string& fuente) {
        SCOPED_TRACE(ruta);
        prueba_fuente(fuente, motivos, {1, 2, 3, 10, 100, 0});
    });
    EXPECT_GT(vistas, 30);
}

// The check's own loop stops at the first token of the other source that
// differs from the kept one (kind, matiz, bytes or line), or at the last kept
// token it is given, and says which kept token it stands against.
TEST(LecturaPhp, LeeMientrasIguales) {
    struct caso {
        std::string_view guardada;  // the source whose tokens are kept
        std::string_view otra;      // the source read against them
        std::int64_t desfase;
        std::ptrdiff_t ultima;   // index of the last kept token given; -1 the end's
        std::ptrdiff_t parada;   // index of the kept token it stops at; -1 the end's
        std::string_view leida;  // the token returned
        clase_pieza clase;
    };
    const caso casos[] = {
        {"<?php $a = 1;\necho $a;\n", "<?php $a = 1;\necho $a;\n", 0, -1, -1, "", clase_pieza::fin},
        // Whitespace and comments passed over; tags cut to `<?php` and `?>`.
        {"<?php\na /* c */ (b); ?>\n", "<?php\na(b);?>", 0, -1, -1, "", clase_pieza::fin},
        // Never past the last token given.
        {"<?php a(b);", "<?php a(b);", 0, 2, 2, "(", clase_pieza::codigo},
        // A line: the tag's whitespace taking the line end, and a line moved.
        {"<?php\n$a;", "<?php $a;", 0, -1, 1, "$a", clase_pieza::codigo},
        {"<?php\n\n$a; $b;", "<?php\n$a; $b;", 0, -1, 1, "$a", clase_pieza::codigo},
        {"<?php\n\n$a; $b;", "<?php\n$a; $b;", 1, -1, 0, "<?php", clase_pieza::apertura},
        {"<?php\n\n$a;\n$b;", "<?php\n$a;\n$b;", -1, -1, 0, "<?php", clase_pieza::apertura},
        // Bytes: in a short token, past 16 bytes, and at the very end.
        {"<?php $ab;", "<?php $ac;", 0, -1, 1, "$ac", clase_pieza::codigo},
        {"<?php $abcdefghijklmnopqrstu1;", "<?php $abcdefghijklmnopqrstu2;", 0, -1, 1,
         "$abcdefghijklmnopqrstu2", clase_pieza::codigo},
        {"<?php $a", "<?php $b", 0, -1, 1, "$b", clase_pieza::codigo},
        // The same bytes read otherwise: a matiz, a kind, a length.
        {"<?php f(&$a);", "<?php f(& a);", 0, -1, 3, "&", clase_pieza::codigo},
        {"<?php 'a';", "<?php a;", 0, -1, 1, "a", clase_pieza::codigo},
        {"<?php $a;", "<?php $ab;", 0, -1, 1, "$ab", clase_pieza::codigo},
        // One source ends first.
        {"<?php $a;", "<?php $a; $b;", 0, -1, 3, "$b", clase_pieza::codigo},
        {"<?php $a; $b;", "<?php $a;", 0, -1, 3, "", clase_pieza::fin},
    };
    for (const caso& c : casos) {
        SCOPED_TRACE(escapa(c.guardada) + " / " + escapa(c.otra));
        lectura_php lectura;
        compacta_php(c.guardada, lectura);
        ASSERT_TRUE(lectura.completa);
        ASSERT_FALSE(lectura.resto.has_value());
        const pieza_guardada* const primera = lectura.piezas.data();
        const auto indice = [&](std::ptrdiff_t k) {
            return k < 0 ? static_cast<std::ptrdiff_t>(lectura.piezas.size()) - 1 : k;
        };
        escaner_php escaner(c.otra, false, false, true);
        const pieza_guardada* q = primera;
        const pieza leida =
            lee_mientras_iguales(escaner, q, primera + indice(c.ultima), c.guardada, c.desfase);
        EXPECT_EQ(indice(c.parada), q - primera);
        EXPECT_EQ(c.leida, leida.texto);
        EXPECT_EQ(c.clase, leida.clase);
    }
}

// Past the kept tokens the check reads the source's scanner and the
// other's side by side, and stops at the first pair that differs (kind,
// matiz, bytes or line) or at the source's end: the other's token, the
// source's, and the source's last token that matched.
TEST(LecturaPhp, LeeALaPar) {
    struct caso {
        std::string_view fuente;
        std::string_view otra;
        std::int64_t desfase;
        std::string_view leida;  // the other's token returned
        clase_pieza clase;
        std::string_view de_fuente;  // the source's token it stands against
        std::string_view previa;     // the source's last token that matched
        clase_pieza clase_previa;    // clase_pieza::fin: none did
    };
    const caso casos[] = {
        {"<?php $a = 1;\necho $a;\n", "<?php $a = 1;\necho $a;\n", 0, "", clase_pieza::fin, "", ";",
         clase_pieza::codigo},
        // Whitespace and comments passed over on both sides; tags cut.
        {"<?php\na /* c */ (b); ?>\n", "<?php\na(b);?>", 0, "", clase_pieza::fin, "", "?>",
         clase_pieza::cierre},
        {"<?php\n# c\na;", "<?php\n\na;", 0, "", clase_pieza::fin, "", ";", clase_pieza::codigo},
        // A line: the tag's whitespace taking the line end, a line moved,
        // and an offset either way.
        {"<?php\n$a;", "<?php $a;", 0, "$a", clase_pieza::codigo, "$a", "<?php",
         clase_pieza::apertura},
        {"<?php\n\n$a; $b;", "<?php\n$a; $b;", 1, "<?php", clase_pieza::apertura, "<?php", "",
         clase_pieza::fin},
        {"<?php\n\n$a; $b;", "<?php\n$a; $b;", -1, "<?php", clase_pieza::apertura, "<?php", "",
         clase_pieza::fin},
        {"<?php\n$a;\n$b;", "<?php $a;\n$b;", 0, "$a", clase_pieza::codigo, "$a", "<?php",
         clase_pieza::apertura},
        // Bytes: in a short token, past 16 bytes, and at the very end.
        {"<?php $ab;", "<?php $ac;", 0, "$ac", clase_pieza::codigo, "$ab", "<?php",
         clase_pieza::apertura},
        {"<?php $abcdefghijklmnopqrstu1;", "<?php $abcdefghijklmnopqrstu2;", 0,
         "$abcdefghijklmnopqrstu2", clase_pieza::codigo, "$abcdefghijklmnopqrstu1", "<?php",
         clase_pieza::apertura},
        {"<?php f($a)", "<?php f($b)", 0, "$b", clase_pieza::codigo, "$a", "(",
         clase_pieza::codigo},
        // The same bytes read otherwise: a matiz, a kind, a length.
        {"<?php f(&$a);", "<?php f(& a);", 0, "&", clase_pieza::codigo, "&", "(",
         clase_pieza::codigo},
        {"<?php 'a';", "<?php a;", 0, "a", clase_pieza::codigo, "'a'", "<?php",
         clase_pieza::apertura},
        {"<?php $a;", "<?php $ab;", 0, "$ab", clase_pieza::codigo, "$a", "<?php",
         clase_pieza::apertura},
        // One source ends first.
        {"<?php $a;", "<?php $a; $b;", 0, "$b", clase_pieza::codigo, "", ";", clase_pieza::codigo},
        {"<?php $a; $b;", "<?php $a;", 0, "", clase_pieza::fin, "$b", ";", clase_pieza::codigo},
        {"", "<?php", 0, "<?php", clase_pieza::apertura, "", "", clase_pieza::fin},
    };
    for (const caso& c : casos) {
        SCOPED_TRACE(escapa(c.fuente) + " / " + escapa(c.otra) + " / " + std::to_string(c.desfase));
        escaner_php fuente(c.fuente, false, false, true);
        escaner_php otra(c.otra, false, false, true);
        pieza a{clase_pieza::html, {}, 0};
        pieza previa{clase_pieza::html, {}, 0};
        const pieza leida = lee_a_la_par(otra, fuente, c.desfase, a, previa);
        EXPECT_EQ(escapa(c.leida), escapa(leida.texto));
        EXPECT_EQ(static_cast<int>(c.clase), static_cast<int>(leida.clase));
        EXPECT_EQ(escapa(c.de_fuente), escapa(a.texto));
        EXPECT_EQ(escapa(c.previa), escapa(previa.texto));
        EXPECT_EQ(static_cast<int>(c.clase_previa), static_cast<int>(previa.clase));
        // Each as lexico_php reads its source, with its line.
        if (a.clase != clase_pieza::fin) {
            EXPECT_EQ(c.fuente.data() + c.fuente.find(c.de_fuente), a.texto.data());
        }
        EXPECT_EQ(c.otra.data() +
                      (leida.clase == clase_pieza::fin ? c.otra.size() : c.otra.find(c.leida)),
                  leida.texto.data());
        EXPECT_EQ(
            saltos_entre(c.otra, 0, static_cast<std::size_t>(leida.texto.data() - c.otra.data())) +
                1,
            leida.linea);
    }
}

// The kept tokens' lines are counted 64 bytes of the source at a time, one way
// for a block with three line ends or fewer and another for more: sources
// whose line ends come at every density (none in a block to one a byte), of
// every kind (LF, CR, CR LF, a lone CR before a LF), at every place of a
// block, some inside tokens (strings, doc comments) and across blocks.
TEST(LecturaPhp, LineasPorBloque) {
    const char* const piezas[] = {"$a", ";",       "1",          "f()",      "'s'",     "/*c*/",
                                  "=",  "\"x\n\"", "/** d\n */", "'a\r\nb'", "__LINE__"};
    const char* const saltos[] = {"\n", "\r", "\r\n", "\r \n", "\n\n"};
    std::uint32_t estado = 12345;
    const auto azar = [&estado](std::uint32_t n) {
        estado = estado * 1103515245U + 12345U;
        return (estado >> 8) % n;
    };
    std::set<std::size_t> densidades;
    for (const std::uint32_t uno_en : {1000U, 40U, 16U, 8U, 4U, 2U, 1U}) {
        for (std::size_t desfase = 0; desfase < 64; desfase += 7) {
            std::string fuente = "<?php" + std::string(desfase + 1, ' ');
            while (fuente.size() < 700) {
                fuente += piezas[azar(std::size(piezas))];
                fuente += azar(uno_en) == 0 ? saltos[azar(std::size(saltos))] : " ";
            }
            // How many line ends each block holds, to know that every count
            // from none to more than three came up.
            for (std::size_t b = 0; b + 64 <= fuente.size(); b += 64) {
                densidades.insert(std::min<std::size_t>(
                    5, static_cast<std::size_t>(std::count(
                           fuente.begin() + static_cast<std::ptrdiff_t>(b),
                           fuente.begin() + static_cast<std::ptrdiff_t>(b + 64), '\n'))));
            }
            SCOPED_TRACE(fuente);
            lectura_php lectura;
            compacta_php(fuente, lectura);
            espera_lectura(fuente, lectura);
        }
    }
    EXPECT_EQ(6U, densidades.size());
}

// Past the bound the check reads on with the scanner as it stood after the
// last token kept: the same tokens, lines and verdicts.
TEST(LecturaPhp, Cota) {
    std::set<int> motivos;
    // Just under the bound, at it, and past it.
    for (const std::size_t cuantas : {lectura_php::kMaximoPiezas - 1, lectura_php::kMaximoPiezas,
                                      lectura_php::kMaximoPiezas + 100}) {
        // The open tag, a `;` a line and a __LINE__ every 1000, the close tag, the end.
        std::string fuente = "<?php\n";
        for (std::size_t k = 0, piezas = 3; piezas < cuantas; ++k) {
            fuente += k % 1000 == 0 && piezas + 1 < cuantas ? "__LINE__;\n" : ";\n";
            piezas += k % 1000 == 0 && piezas + 1 < cuantas ? std::size_t{2} : std::size_t{1};
        }
        fuente += "?>\n";
        SCOPED_TRACE(cuantas);
        lectura_php lectura;
        // One run left as it was: a table's, but for this.
        lectura.tramo_de_tabla = SIZE_MAX;
        const std::string reglas = compacta_php(fuente, lectura);
        EXPECT_EQ(reglas, compacta_php(fuente));
        EXPECT_TRUE(lectura.completa);
        // The last one kept is the end's when there are just so many.
        EXPECT_EQ(cuantas >= lectura_php::kMaximoPiezas, lectura.resto.has_value());
        EXPECT_EQ(std::min(cuantas, lectura_php::kMaximoPiezas), lectura.piezas.size());
        espera_lectura(fuente, lectura);
        // Lines moved, tokens taken out or added at the start, around the last
        // token kept, and at the end (PHP's rules keep these bytes as they are).
        EXPECT_EQ(fuente, reglas);
        const std::size_t corte = lectura.piezas.back().desde;
        std::vector<std::string> otros{reglas};
        for (const std::size_t p : {std::size_t{9}, corte, corte + 1, reglas.size() - 3}) {
            edita_en(reglas, std::min(p, reglas.size() - 1), "$a", otros);
        }
        const std::set<int> vistos = espera_veredictos(fuente, lectura, otros);
        motivos.insert(vistos.begin(), vistos.end());
    }
    EXPECT_EQ(4U, motivos.size());
}

// A table (a run of thousands of tokens left as they were, most of the
// source) keeps no tokens: the check lexes the source again and reads the run
// once. Its verdicts are those of reading both token by token, with an edit
// before, in and after the run; code with a long run in it keeps its tokens.
TEST(LecturaPhp, Tabla) {
    std::string fila;
    for (int k = 0; k < 1500; ++k) {
        fila += std::to_string(k) + "=>array(" + std::to_string(k % 7) + ",-1),";
    }
    std::string codigo;
    for (int k = 0; k < 3000; ++k) {
        codigo += "$v  =  f( $a ) ;  // c\n";
    }
    struct caso {
        std::string fuente;
        bool tabla;
    };
    const caso casos[] = {
        {"<?php\n// widths\n$cw = array(" + fila + ");\necho __LINE__ ;\n", true},
        {"<?php\r\n$cw=array(" + fila + ");\r\n  $x = 1;\r\n", true},
        {"<?php\n" + codigo + "$cw=array(" + fila + ");\n" + codigo, false},
    };
    for (const caso& c : casos) {
        SCOPED_TRACE(c.fuente.substr(0, 40));
        lectura_php lectura;
        const std::string reglas = compacta_php(c.fuente, lectura);
        EXPECT_EQ(compacta_php(c.fuente), reglas);
        EXPECT_EQ(!c.tabla, lectura.completa);
        std::vector<std::string> otros{reglas};
        for (const std::size_t p :
             {std::size_t{7}, reglas.size() / 3, reglas.find(");"), reglas.size() - 4}) {
            edita_en(reglas, p, "$a", otros);
        }
        for (const std::string& otro : otros) {
            for (const modo_comparacion modo :
                 {modo_comparacion::programa, modo_comparacion::lineas}) {
                for (const std::int64_t desfase : {0, 1}) {
                    const comparacion leida = compara_php(c.fuente, lectura, otro, modo, desfase);
                    const comparacion paso = compara_php_paso_a_paso(c.fuente, otro, modo, desfase);
                    EXPECT_EQ(paso.iguales, leida.iguales);
                    EXPECT_EQ(paso.linea, leida.linea);
                    EXPECT_EQ(paso.motivo, leida.motivo);
                }
            }
        }
        EXPECT_TRUE(compara_php(c.fuente, lectura, reglas, modo_comparacion::lineas).iguales);
    }
}

}  // namespace kexo
