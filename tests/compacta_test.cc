#include "compaction/compacta.h"

#include <gtest/gtest.h>

#include "tests/escapa.h"

namespace kexo {

using namespace std::string_view_literals;

namespace {

struct caso {
    const char* nombre;
    std::string_view fuente;
    std::string_view esperado;  // the bytes written, header aside
};

const caso kCasos[] = {
    // Lines joined, indentation dropped, final ?> on its own line.
    {"php block", "<?php\r\n  echo $a\r\n?>\r\n"sv, "<?php echo $a \r\n?>\r\n"sv},
    {"comment after literal", "$a = 'x//y'; // note\r\n$b = 2;\r\n"sv, "$a = 'x//y';  $b = 2;"sv},
    {"lone CR ends comment", "a // c\rb\r\nd"sv, "a b d"sv},
    {"?> inside comment", "x // y ?> z\r\nw"sv, "x  w"sv},
    // An LF ends a comment too; the LF itself stays.
    {"LF lines", "a\n// b\nc"sv, "a\n\nc"sv},
    {"LF after comment", "a // b\nc"sv, "a \nc"sv},
    {"LF comment in CR LF file", "a // b\nc\r\nd"sv, "a \nc d"sv},
    {"comment to end", "x = 1;   //"sv, "x = 1;"sv},
    // Literals: a line break ends them, only the byte before a quote escapes it.
    {"break ends literal", "x = 'a\r\n  b'; // k\r\n"sv, "x = 'a b'; // k"sv},
    {"unclosed literal", "'a\r\n// c\r\nX"sv, "'a  X"sv},
    {"escaped backslash", "s = 'a\\\\'; // k\r\n"sv, "s = 'a\\\\'; // k"sv},
    {"escaped quote outside", "a\\'b // c\r\nX"sv, "a\\'b  X"sv},
    {"escaped quote inside", "'a\\'b' // c"sv, "'a\\'b'"sv},
    {"other quote inside", "\"it's\" // c\r\nX"sv, "\"it's\"  X"sv},
    {"LF inside literal", "'a\n// b' // c"sv, "'a\n// b'"sv},
    {"lone CR inside literal", "'a\rb' // c\r\nX"sv, "'ab'  X"sv},
    {"block comment", "/* a//b */\r\ny();"sv, "/* a y();"sv},
    {"hash comment", "# it's // d\r\nx"sv, "# it's // d x"sv},
    {"single slash", "a / b\r\n/c"sv, "a / b /c"sv},
    // Line breaks and spaces.
    {"lone CR", "a\rb"sv, "ab"sv},
    {"tab kept", "a\r\n\tb"sv, "a \tb"sv},
    {"leading spaces", "  x"sv, "  x"sv},
    {"spaces after LF", "a\n   b"sv, "a\n   b"sv},
    {"break first", "\r\n  x"sv, " x"sv},
    {"blank line", "a\r\n   \r\nb"sv, "a  b"sv},
    {"CR CR LF", "a\r\r\nb"sv, "a b"sv},
    // The trim and the closing tag.
    {"trailing spaces", "<?php\r\necho 1;   \r\n?>   \r\n\r\n"sv, "<?php echo 1;    \r\n?>\r\n"sv},
    {"only ?>", "?>"sv, "\r\n?>\r\n"sv},
    {"space before ?>", "x ?>"sv, "x \r\n?>\r\n"sv},
    {"0 bytes trimmed", "a?>\0 \0"sv, "a\r\n?>\r\n"sv},
    {"inner 0 copied", "a\0b"sv, "a\0b"sv},
    {"0xFF copied", "\xff\r\n\xff"sv, "\xff \xff"sv},
    {"trailing tab kept", "a\t\r\n"sv, "a\t"sv},
    // The emission filter: only a space between > and the last byte goes.
    {"filter", "<b>\r\nZ"sv, "<b>Z"sv},
    {"no rewrite", "<?php echo 1; ?>\r\nX"sv, "<?php echo 1; ?>X"sv},
    {"two spaces", ">\r\n\r\nX"sv, ">  X"sv},
    {"two last bytes", "a>\r\nXY"sv, "a> XY"sv},
    {"filter at start", " Z"sv, " Z"sv},
    // Nothing left but spaces and 0 bytes: nothing is written.
    {"empty", ""sv, ""sv},
    {"spaces", "   "sv, ""sv},
    {"only break", "\r\n"sv, ""sv},
    {"only comment", "// x"sv, ""sv},
    {"0 bytes", "\0\0"sv, ""sv},
    {"one byte", "x  \r\n  "sv, "x"sv},
};

// The ways of scanning that this processor runs.
std::vector<via_escaneo> vias() {
    std::vector<via_escaneo> todas;
    for (const via_escaneo via :
         {via_escaneo::por_paradas, via_escaneo::bloques_avx2, via_escaneo::bloques_avx512}) {
        if (admite(via)) {
            todas.push_back(via);
        }
    }
    return todas;
}

// A row's source made long enough for blocks of 64 bytes: the row after 64
// bytes that compact to themselves, so the row's bytes fall at every position
// of a block in turn.
std::string alargada(std::string_view fuente, std::size_t relleno) {
    return std::string(relleno, 'x') + std::string(fuente) + std::string(70, 'y');
}

TEST(Compacta, CasosDeBytes) {
    for (const via_escaneo via : vias()) {
        for (const caso& c : kCasos) {
            SCOPED_TRACE(std::string(c.nombre) + ", way " + std::to_string(static_cast<int>(via)));
            const std::string emitido = compacta_fuente(c.fuente, nullptr, via).bytes;
            EXPECT_EQ(escapa(c.esperado), escapa(emitido)) << "source " << escapa(c.fuente);
        }
    }
}

// Every way writes the same bytes, wherever a row falls in a block.
TEST(Compacta, TodasLasRutasIgual) {
    for (const caso& c : kCasos) {
        for (std::size_t relleno = 0; relleno < 70; ++relleno) {
            const std::string fuente = alargada(c.fuente, relleno);
            const std::string esperado =
                compacta_fuente(fuente, nullptr, via_escaneo::por_paradas).bytes;
            for (const via_escaneo via : vias()) {
                ASSERT_EQ(escapa(esperado), escapa(compacta_fuente(fuente, nullptr, via).bytes))
                    << c.nombre << ", after " << relleno;
            }
        }
    }
}

// The literal open at a block's end, which blocks without a `//` work out
// from the quotes after their last line break: each row puts a `//` in a later
// block, which drops it or not as that literal says, with the rows' bytes
// falling at every place of a block.
TEST(Compacta, LiteralAbiertoAlFinDeBloque) {
    const std::string largo(90, 'x');
    const struct {
        const char* nombre;
        std::string fuente;
    } kFilas[] = {
        {"single quote open over a block", "$a = '" + largo + "'; // c\r\n$b = 1;"},
        {"double quote open over a block", "$a = \"" + largo + "// d\"; // c\r\nb"},
        {"other kind inside an open literal", "$a = \"it's " + largo + " // d\" // c\r\nb"},
        {"line break ends the literal", "$a = 'x\r\n" + largo + " // c\r\nb"},
        {"odd quotes of one kind after the break", "\r\n'a' 'b' '" + largo + " // d' // c"},
        {"even quotes of one kind after the break", "\r\n'a' 'b' " + largo + " // c\r\nb"},
        {"both kinds after the break", "\r\n'a\"' \"b'\" '" + largo + "// d' // c"},
        {"both kinds, the other open", "\r\n\"a' 'b " + largo + "// d\" // c"},
        {"escaped quotes", "\r\n'a\\'b " + largo + "// d' // c\r\n\"\\\"" + largo + "//\""},
        {"quote before the block's last byte",
         "\r\n" + std::string(61, ' ') + "'" + largo + "//'//c"},
        {"comment from the block before", "// c" + largo + "\r\n'a" + largo + "//b' // c"},
    };
    for (const auto& fila : kFilas) {
        for (std::size_t relleno = 0; relleno < 130; ++relleno) {
            const std::string fuente = alargada(fila.fuente, relleno);
            const std::string esperado =
                compacta_fuente(fuente, nullptr, via_escaneo::por_paradas).bytes;
            for (const via_escaneo via : vias()) {
                ASSERT_EQ(escapa(esperado), escapa(compacta_fuente(fuente, nullptr, via).bytes))
                    << fila.nombre << ", after " << relleno;
            }
        }
    }
}

// The source given in pieces of `tamano` bytes.
std::string por_trozos(std::string_view fuente, std::size_t tamano,
                       via_escaneo via = via_de_este_procesador()) {
    compactacion en_curso(via);
    std::string salida;
    const receptor anota = [&salida](std::string_view bytes) { salida.append(bytes); };
    for (std::size_t i = 0; i < fuente.size(); i += tamano) {
        en_curso.anade(fuente.substr(i, tamano), anota);
    }
    en_curso.concluye(anota);
    return salida;
}

TEST(Compacta, PorTrozosDaLoMismo) {
    for (const caso& c : kCasos) {
        for (const std::size_t tamano : {1u, 2u, 3u, 7u}) {
            SCOPED_TRACE(std::string(c.nombre) + ", pieces of " + std::to_string(tamano));
            EXPECT_EQ(escapa(c.esperado), escapa(por_trozos(c.fuente, tamano)));
        }
    }
}

// Long runs of spaces and 0 bytes are held in little memory, and given back
// whole when a later byte makes them final.
TEST(Compacta, PorTrozosConBlancosLargos) {
    std::string mezcla;
    for (std::size_t n = 1; n < 300; n += 7) {
        mezcla += std::string(n, n % 2 ? ' ' : '\0') + (n % 5 ? "" : " \0");
    }
    const std::string fuentes[] = {
        "x>" + mezcla + "Z",
        "?> " + mezcla + "\r\n" + mezcla + "?>" + mezcla,
        mezcla + "a // b" + mezcla + "\r\n" + mezcla + "/",
        "a" + mezcla,
        mezcla,
    };
    for (const std::string& fuente : fuentes) {
        const std::string entera = compacta_fuente(fuente, nullptr, via_escaneo::por_paradas).bytes;
        for (const via_escaneo via : vias()) {
            for (const std::size_t tamano : {1u, 5u, 64u, 65u, 200u, 1000u}) {
                SCOPED_TRACE(escapa(fuente.substr(0, 8)) + ", pieces of " + std::to_string(tamano));
                EXPECT_EQ(escapa(entera), escapa(por_trozos(fuente, tamano, via)));
            }
        }
    }
}

// Pieces long enough for blocks, cut at every place: a backslash that ends one
// piece escapes the quote that starts the next, and a block's neighbours come
// from another piece.
TEST(Compacta, PorTrozosLargosCortadosEnCadaSitio) {
    std::string fuente;
    for (std::size_t i = 0; i < 40; ++i) {
        fuente += std::string(i % 7, 'x') + "\\' // a\r\n  \"b\\\" // c\" / d\\\r\n '/\\'//e\r\n";
    }
    const std::string entera = compacta_fuente(fuente, nullptr, via_escaneo::por_paradas).bytes;
    for (const via_escaneo via : vias()) {
        for (std::size_t tamano = 64; tamano <= 140; ++tamano) {
            ASSERT_EQ(escapa(entera), escapa(por_trozos(fuente, tamano, via)))
                << "way " << static_cast<int>(via) << ", pieces of " << tamano;
        }
    }
}

// Long sources of random bytes from the few that matter to the scan: the
// ways by blocks work over many blocks in a row (and the AVX2 way writes
// them in batches), with literals, comments, CR LF and indentation running
// from one block and one batch into the next. Whole, and in pieces of sizes
// that cut them anywhere.
TEST(Compacta, FuentesLargasAlAzar) {
    const std::string_view kPiezas[] = {"\r\n"sv, "\r\n  "sv, "    "sv, "'"sv,  "\""sv, "\\"sv,
                                        "//"sv,   "/"sv,      "\r"sv,   "\n"sv, " "sv,  "\0"sv,
                                        "\\'"sv,  "?>"sv,     "x"sv,    "ab"sv};
    std::uint32_t azar = 12345;
    const auto siguiente = [&azar] {
        azar = azar * 1103515245u + 12345u;
        return azar >> 16;
    };
    for (unsigned fuente_n = 0; fuente_n < 40; ++fuente_n) {
        std::string fuente;
        const std::size_t tamano = 1000 + siguiente() % 9000;
        // Some sources dense in quotes and comments, others mostly plain text.
        const unsigned raras = 2 + fuente_n % 14;
        while (fuente.size() < tamano) {
            const unsigned k = siguiente() % 16;
            fuente += kPiezas[k < raras ? k : 14 + siguiente() % 2];
        }
        const std::string esperado =
            compacta_fuente(fuente, nullptr, via_escaneo::por_paradas).bytes;
        for (const via_escaneo via : vias()) {
            ASSERT_EQ(escapa(esperado), escapa(compacta_fuente(fuente, nullptr, via).bytes))
                << "source " << fuente_n << ", way " << static_cast<int>(via);
            for (const std::size_t trozo : {100u, 2113u, 4096u}) {
                ASSERT_EQ(escapa(esperado), escapa(por_trozos(fuente, trozo, via)))
                    << "source " << fuente_n << ", way " << static_cast<int>(via) << ", pieces of "
                    << trozo;
            }
        }
    }
}

TEST(Compacta, PorTrozosRetieneSoloElFinal) {
    compactacion en_curso;
    std::string dado;
    const receptor anota = [&dado](std::string_view bytes) { dado.append(bytes); };
    en_curso.anade("ab", anota);
    EXPECT_EQ("", dado);
    en_curso.anade("cde  \0 "sv, anota);
    EXPECT_EQ("ab", dado);
    en_curso.anade("   ", anota);
    EXPECT_EQ("ab", dado);
    // The byte before the `?` is held back with it.
    en_curso.anade("?> ", anota);
    EXPECT_EQ("abcde  \0   "sv, dado);
    dado.clear();
    EXPECT_EQ(17, en_curso.concluye(anota));
    EXPECT_EQ(" \r\n?>\r\n", dado);
}

TEST(Compacta, UltimoSenalaElUltimoByte) {
    const texto_compactado texto = compacta_fuente("a  \r\n  "sv);
    EXPECT_EQ(0, texto.ultimo);
    EXPECT_EQ("a", texto.bytes);
    EXPECT_EQ(-1, compacta_fuente("  "sv).ultimo);
    const texto_compactado cierre = compacta_fuente("?>"sv);
    EXPECT_EQ(5, cierre.ultimo);
    EXPECT_EQ("\r\n?>\r\n", cierre.bytes);
}

TEST(Compacta, FiltroSoloMiraElPenultimo) {
    EXPECT_FALSE(es_byte_omitido("> >  Z", 1));
    EXPECT_FALSE(es_byte_omitido("> >  Z", 4));
    EXPECT_TRUE(es_byte_omitido("a> Z", 2));
    EXPECT_EQ("a>", partes_emitidas("a> Z")[0]);
    EXPECT_EQ("Z", partes_emitidas("a> Z")[1]);
    // A text ending in `> Z` written through the whole compaction.
    const texto_compactado filtrado = compacta_fuente("a>\r\nZ"sv);
    EXPECT_EQ("a>Z", filtrado.bytes);
    EXPECT_EQ(3, filtrado.ultimo);
}

TEST(Compacta, RecortaNoMiraElPrimerByte) {
    EXPECT_EQ(0, recorta(" "));
    EXPECT_EQ(0, recorta(""));
    EXPECT_EQ(2, recorta("a\tb \0 "sv));
}

// Each finishing stage is reported with the index the traces print.
TEST(Compacta, ObservaLasEtapas) {
    static std::string vistas;
    vistas.clear();
    compacta_fuente("x?> \r\n"sv,
                    [](const char* formato, std::string_view, std::int64_t, std::int64_t i) {
                        vistas += std::string(formato).substr(0, 4) + std::to_string(i) + ";";
                    });
    EXPECT_EQ("ante5;tras2;dent2;desp6;", vistas);
}

}  // namespace

}  // namespace kexo
