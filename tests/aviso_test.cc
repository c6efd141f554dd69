#include "notice/aviso.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/escapa.h"
#include "tests/proceso.h"

namespace kexo {

using namespace std::string_view_literals;

namespace {

struct caso {
    const char* nombre;
    std::string_view fichero;  // the notice file's bytes as stored
    std::string_view aviso;
};

const std::string kLarga(1200, 'x');

const caso kCasos[] = {
    {"CR LF", "Hecho por X\r\nmas\r\n"sv, "Hecho por X"sv},
    {"LF", "Hecho por X\nmas"sv, "Hecho por X"sv},
    {"no line end", "Hecho por X"sv, "Hecho por X"sv},
    {"empty first line", "\r\nsegunda\r\n"sv, ""sv},
    {"empty file", ""sv, ""sv},
    {"trailing spaces kept", "a  \t\r\n"sv, "a  \t"sv},
    {"lone CR kept", "a\rb\r\r\n"sv, "a\rb\r"sv},
    {"0x1A ends the text",
     "ab\x1a"
     "cd\r\n"sv,
     "ab"sv},
    {"0 byte ends the notice", "ab\0cd\r\n"sv, "ab"sv},
    {"percent kept", "100% %s %d\r\n"sv, "100% %s %d"sv},
    {"0xA0 kept", "par\xa0metros\r\n"sv, "par\xa0metros"sv},
};

TEST(Aviso, PrimeraLinea) {
    for (const caso& c : kCasos) {
        SCOPED_TRACE(c.nombre);
        EXPECT_EQ(escapa(c.aviso), escapa(aviso_de(traduce_modo_texto(c.fichero))));
    }
}

TEST(Aviso, CortaA999Bytes) {
    EXPECT_EQ(std::string(999, 'x'), aviso_de(traduce_modo_texto(kLarga)));
    // The line end of a 999-byte line counts as one byte after translation.
    const std::string justa = std::string(998, 'y') + "\r\nz";
    EXPECT_EQ(std::string(998, 'y'), aviso_de(traduce_modo_texto(justa)));
    const std::string larga = std::string(999, 'y') + "\r\nz";
    EXPECT_EQ(std::string(999, 'y'), aviso_de(traduce_modo_texto(larga)));
}

TEST(Aviso, PrimeraLineaGuardaElSalto) {
    EXPECT_EQ("a\n", primera_linea("a\nb"));
    EXPECT_EQ("a", primera_linea("a"));
}

TEST(Aviso, Cabecera) {
    EXPECT_EQ("", texto_cabecera(""));
    EXPECT_EQ("<?php\n// Hecho por X\n?>\n", texto_cabecera("Hecho por X"));
    EXPECT_EQ("<?php\n// 50% %s\n?>\n", texto_cabecera("50% %s"));
    const std::string larga(999, 'z');
    EXPECT_EQ("<?php\n// " + larga + "\n?>\n", texto_cabecera(larga));
}

// What a header adds to the compacted text after it: bytes (the text's own
// open tag off before a declare, a `#!` line on) and lines (below `#!`).
TEST(Aviso, LoQueAnadeLaCabecera) {
    const colocacion_aviso delante{};
    const colocacion_aviso en_apertura{"", true};
    const colocacion_aviso tras_interprete{"#!/bin/php\n", true};
    EXPECT_EQ(0, bytes_anadidos("", delante));
    EXPECT_EQ(0, lineas_anadidas("", delante));
    EXPECT_EQ(14, bytes_anadidos("N", delante));  // <?php\n// N\n?>\n
    EXPECT_EQ(3, lineas_anadidas("N", delante));
    EXPECT_EQ(6, bytes_anadidos("N", en_apertura));  // <?php\n// N\n for <?php
    EXPECT_EQ(2, lineas_anadidas("N", en_apertura));
    EXPECT_EQ(17, bytes_anadidos("N", tras_interprete));
    EXPECT_EQ(2, lineas_anadidas("N", tras_interprete));
}

// Where the header may stand: never before a `#!` line, nor before a declare
// that must be the first statement; elsewhere in front of all.
TEST(Aviso, Colocacion) {
    const struct {
        const char* fuente;
        const char* antes;
        bool en_apertura;
        const char* cabecera;
    } casos[] = {
        {"<?php echo 1;", "", false, "<?php\n// N\n?>\n"},
        {"<?php\ndeclare(strict_types=1);", "", true, "<?php\n// N\n"},
        {"<?php /* c */ // d\r\n# e\n Declare(ticks=1);", "", true, "<?php\n// N\n"},
        {"<?php /** doc */ declare(ticks=1);", "", true, "<?php\n// N\n"},
        {"<?php echo 1; declare(ticks=1);", "", false, "<?php\n// N\n?>\n"},
        {"<?php $declare = 1;", "", false, "<?php\n// N\n?>\n"},
        {"<html><?php declare(ticks=1);", "", false, "<?php\n// N\n?>\n"},
        {"#!/usr/bin/env php\n<?php echo 1;", "#!/usr/bin/env php\n", false,
         "#!/usr/bin/env php\n<?php\n// N\n?>\n"},
        {"#!/usr/bin/php\r\n<?php declare(ticks=1);", "#!/usr/bin/php\r\n", true,
         "#!/usr/bin/php\r\n<?php\n// N\n"},
        {"#!/usr/bin/php", "", false, "<?php\n// N\n?>\n"},  // no line end read: as before
    };
    for (const auto& c : casos) {
        const colocacion_aviso donde = coloca_aviso("N", c.fuente);
        EXPECT_EQ(c.antes, donde.antes) << c.fuente;
        EXPECT_EQ(c.en_apertura, donde.en_apertura) << c.fuente;
        EXPECT_EQ(c.cabecera, texto_cabecera("N", donde)) << c.fuente;
        // Without a notice, nothing moves.
        EXPECT_TRUE(coloca_aviso("", c.fuente).antes.empty());
        EXPECT_FALSE(coloca_aviso("", c.fuente).en_apertura);
    }
}

TEST(Aviso, RutaUsaElValorSinCambios) {
    EXPECT_EQ("/etc/php/kexo.ini", ruta_aviso("/etc/php"));
    EXPECT_EQ("/etc/php//kexo.ini", ruta_aviso("/etc/php/"));
}

// A notice file named directly is read as the one in PHPRC's folder, but one
// that cannot be read says why.
TEST(Aviso, FicheroNombrado) {
    const carpeta_temporal escena;
    const std::string ruta = (escena / "kexo.ini").string();
    for (const caso& c : kCasos) {
        SCOPED_TRACE(c.nombre);
        escribe_fichero(ruta, c.fichero);
        std::string scopy = "previo";
        EXPECT_EQ(0, lee_aviso(ruta, scopy));
        EXPECT_EQ(escapa(c.aviso), escapa(scopy));
        EXPECT_EQ(escapa(lee_copyright(escena.ruta().string())), escapa(scopy));
    }
    std::string scopy = "previo";
    EXPECT_EQ(ENOENT, lee_aviso((escena / "falta.ini").string(), scopy));
    EXPECT_EQ("", scopy);
    EXPECT_EQ(kAvisoNoRegular, lee_aviso(escena.ruta().string(), scopy));
}

}  // namespace

}  // namespace kexo
