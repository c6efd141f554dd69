// The way of scanning by name, and KEXO_VIA in both programs: each way this
// processor has writes what the default way writes; a way it lacks is refused
// before anything is opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compaction/vias.h"
#include "tests/escapa.h"
#include "tests/proceso.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

constexpr via_escaneo kTodas[] = {via_escaneo::por_paradas, via_escaneo::bloques_avx2,
                                  via_escaneo::bloques_avx512};

TEST(Via, NombresDeIdaYVuelta) {
    for (const via_escaneo via : kTodas) {
        via_escaneo leida =
            via == via_escaneo::por_paradas ? via_escaneo::bloques_avx2 : via_escaneo::por_paradas;
        EXPECT_TRUE(via_por_nombre(nombre_de(via), leida)) << nombre_de(via);
        EXPECT_EQ(via, leida);
    }
    EXPECT_STREQ("paradas", nombre_de(via_escaneo::por_paradas));
    EXPECT_STREQ("avx2", nombre_de(via_escaneo::bloques_avx2));
    EXPECT_STREQ("avx512", nombre_de(via_escaneo::bloques_avx512));
}

TEST(Via, NombresDesconocidos) {
    const std::string nombres[] = {"",        "AVX2",     "avx",  "avx5",
                                   "avx512 ", " paradas", "sse2", std::string("avx2\0", 5)};
    for (const std::string& nombre : nombres) {
        via_escaneo via = via_escaneo::bloques_avx2;
        EXPECT_FALSE(via_por_nombre(nombre, via)) << escapa(nombre);
        EXPECT_EQ(via_escaneo::bloques_avx2, via) << escapa(nombre);
    }
}

// A CR LF source of many 64-byte blocks: comments, literals, indentation.
std::string fuente_larga() {
    std::string fuente = "<?php\r\n";
    for (int i = 0; i < 200; ++i) {
        fuente += "    $u = 'http://a//b' . \"x // \\\"y\\\"\"; // c" + std::to_string(i) +
                  "\r\n        if ($a > 1) { echo $u; }\r\n";
    }
    return fuente + "?>\r\n";
}

// Runs `programa` with `argumentos` in `escena` and KEXO_VIA as `via` (unset when empty).
resultado corre(const std::string& programa, const carpeta_temporal& escena,
                const std::vector<std::string>& argumentos, const std::string& via) {
    std::vector<std::string> entorno = entorno_sin_phprc({"KEXO_VIA=" + via});
    if (via.empty()) {
        entorno.pop_back();  // the parent's KEXO_VIA, if any, is left out as well
    }
    return ejecuta(orden_de(programa, argumentos), entorno, escena.ruta());
}

TEST(Via, KexoPorCadaVia) {
    const std::string fuente = fuente_larga();
    const carpeta_temporal base;
    escribe_fichero(base / "a.php", fuente);
    ASSERT_EQ(0, corre(KEXO_BINARIO, base, {"a.php", "b.php"}, "").estado);
    const std::string esperado = lee_fichero(base / "b.php");
    ASSERT_LT(esperado.size(), fuente.size());
    for (const via_escaneo via : kTodas) {
        const std::string nombre = nombre_de(via);
        SCOPED_TRACE(nombre);
        const carpeta_temporal escena;
        escribe_fichero(escena / "a.php", fuente);
        const resultado r = corre(KEXO_BINARIO, escena, {"a.php", "b.php"}, nombre);
        if (admite(via)) {
            EXPECT_EQ(0, r.estado);
            EXPECT_EQ("Longitud origen (" + std::to_string(fuente.size()) + ")\n", r.salida);
            EXPECT_EQ(escapa(esperado), escapa(lee_fichero(escena / "b.php")));
        } else {
            EXPECT_EQ(1, r.estado);
            EXPECT_EQ("KEXO_VIA=" + nombre + ": este procesador no tiene esa via\n", r.salida);
            EXPECT_FALSE(fs::exists(escena / "b.php"));
        }
    }
}

TEST(Via, ArbolPorCadaVia) {
    const std::string fuente = fuente_larga();
    const carpeta_temporal base;
    fs::create_directory(base / "origen");
    escribe_fichero(base / "origen" / "a.php", fuente);
    ASSERT_EQ(0, corre(KEXO_BINARIO_ARBOL, base, {"origen", "destino"}, "").estado);
    const std::string esperado = lee_fichero(base / "destino" / "a.php");
    ASSERT_LT(esperado.size(), fuente.size());
    for (const via_escaneo via : kTodas) {
        const std::string nombre = nombre_de(via);
        SCOPED_TRACE(nombre);
        const carpeta_temporal escena;
        fs::create_directory(escena / "origen");
        escribe_fichero(escena / "origen" / "a.php", fuente);
        const resultado r = corre(KEXO_BINARIO_ARBOL, escena, {"origen", "destino"}, nombre);
        if (admite(via)) {
            EXPECT_EQ(0, r.estado) << r.salida;
            EXPECT_EQ(escapa(esperado), escapa(lee_fichero(escena / "destino" / "a.php")));
        } else {
            EXPECT_EQ(1, r.estado);
            EXPECT_EQ("KEXO_VIA=" + nombre + ": este procesador no tiene esa via\n", r.salida);
            EXPECT_FALSE(fs::exists(escena / "destino"));
        }
    }
}

}  // namespace

}  // namespace kexo
