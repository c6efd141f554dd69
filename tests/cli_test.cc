// End to end, the cases that need code rather than a folder of tests/cli:
// large sources, a full device, a memory limit, a pipe and a hard link. Built
// twice: for the Linux program, and, with KEXO_WINE naming the loader, for the
// Windows program run under Wine.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/escapa.h"
#include "tests/proceso.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

resultado corre(const carpeta_temporal& escena, const std::vector<std::string>& argumentos,
                const std::vector<std::string>& entorno = {}) {
    return ejecuta(orden_de(KEXO_BINARIO, argumentos), entorno_sin_phprc(entorno), escena.ruta());
}

std::string longitud(std::size_t n) {
    return "Longitud origen (" + std::to_string(n) + (kWindows ? ")\r\n" : ")\n");
}

std::string repite(std::string_view texto, std::size_t veces) {
    std::string todo;
    todo.reserve(texto.size() * veces);
    for (std::size_t i = 0; i < veces; ++i) {
        todo.append(texto);
    }
    return todo;
}

// Sources of several 1 MiB read blocks, so that lines, literals, comments and
// the end of the text fall across blocks; the results are worked out by hand.
TEST(Cli, FuentesGrandes) {
    const std::size_t lineas = 400000;  // 9.6 MB
    const struct {
        const char* nombre;
        std::string fuente, destino;
    } casos[] = {
        {"lines", repite("  echo 'a//b'; // c\r\n", lineas) + "?>  \r\n",
         "  " + repite("echo 'a//b';  ", lineas) + "\r\n?>\r\n"},
        {"spaces after >", "x>" + std::string((3u << 19) + 7, ' ') + "Z",
         "x>" + std::string((3u << 19) + 7, ' ') + "Z"},
        {"only spaces and 0 bytes", std::string((5u << 19) + 3, ' ') + std::string(5, '\0'), ""},
        {"comment across blocks", std::string(1u << 20, 'a') + "//" + std::string(1u << 20, 'b'),
         std::string(1u << 20, 'a')},
    };
    const carpeta_temporal escena;
    escribe_fichero(escena / "kexo.ini", "N\n");
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nombre);
        escribe_fichero(escena / "a.php", c.fuente);
        const resultado r = corre(escena, {"a.php", "b.php"}, {"PHPRC=."});
        EXPECT_EQ(0, r.estado);
        EXPECT_EQ(longitud(c.fuente.size()), r.salida);
        EXPECT_TRUE("<?php\n// N\n?>\n" + c.destino == lee_fichero(escena / "b.php"));
    }
}

TEST(Cli, ErrorDeEscrituraNoEsExito) {
    const carpeta_temporal escena;
    escribe_fichero(escena / "a.php", "x\r\n");
    const resultado r = corre(escena, {"a.php", "/dev/full"});
    EXPECT_EQ(255, r.estado);
    EXPECT_EQ(longitud(3), r.salida);
}

TEST(Cli, MismoFicheroPorEnlaceDuro) {
    const carpeta_temporal escena;
    escribe_fichero(escena / "a.php", "x // y\r\n");
    fs::create_hard_link(escena / "a.php", escena / "duro.php");
    const resultado r = corre(escena, {"a.php", "duro.php"});
    EXPECT_EQ(1, r.estado);
    EXPECT_EQ(kWindows ? "Origen y destino son el mismo fichero\r\n"
                       : "Origen y destino son el mismo fichero\n",
              r.salida);
    EXPECT_EQ("x // y\r\n", lee_fichero(escena / "a.php"));
}

// Standard output appended to the source: the run's lines go to standard
// error instead, and the source is left as it was, refused or read.
TEST(Cli, SalidaEstandarEnElOrigen) {
    if (kWindows) {
        GTEST_SKIP() << "no /dev/stdout on Windows";
    }
    const carpeta_temporal escena;
    const struct {
        const char* destino;
        int estado;
        const char* mensaje;
    } casos[] = {
        {"/dev/stdout", 1, "Origen y destino son el mismo fichero"},
        {"falta/b.php", 1, "Imposible abrir fichero entrada 2"},
        {"b.php", 0, "Longitud origen (8)"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.destino);
        escribe_fichero(escena / "k.php", "x // y\r\n");
        const std::string orden =
            std::string(KEXO_BINARIO) + " k.php " + c.destino + " >> k.php 2> errores";
        const resultado r = ejecuta({"/bin/sh", "-c", orden}, entorno_sin_phprc(), escena.ruta());
        EXPECT_EQ(c.estado, r.estado);
        EXPECT_EQ("x // y\r\n", lee_fichero(escena / "k.php"));
        EXPECT_EQ(std::string(c.mensaje) + "\n", lee_fichero(escena / "errores"));
    }
}

// Spaces and 0 bytes that the trim may still remove are held in little memory;
// memory that is really missing is reported, and the destination left as it was.
TEST(Cli, MemoriaAcotada) {
#if defined(KEXO_SANITIZADO) || defined(KEXO_WINE)
    GTEST_SKIP() << "the sanitizers and Wine need more address space than the limits";
#endif
    const carpeta_temporal escena;
    const auto corre_con = [&escena](rlim_t memoria) {
        return ejecuta({KEXO_BINARIO, "a.php", "b.php"}, entorno_sin_phprc(), escena.ruta(),
                       {memoria, 0});
    };
    escribe_fichero(escena / "a.php", "a");
    fs::resize_file(escena / "a.php", 300u << 20);  // 0 bytes after the `a`
    resultado r = corre_con(64u << 20);
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ("a", lee_fichero(escena / "b.php"));

    // The peak counts this process's memory as the child inherits it at fork:
    // the 100 MB are not held here while it runs.
    escribe_fichero(escena / "a.php", std::string(100u << 20, ' ') + "x");
    r = corre_con(0);
    EXPECT_EQ(0, r.estado);
    EXPECT_LT(r.memoria_kib, 32 * 1024);
    EXPECT_TRUE(std::string(100u << 20, ' ') + "x" == lee_fichero(escena / "b.php"));

    // No room for the stack of a thread to read and write: done without one.
    escribe_fichero(escena / "a.php", std::string(30u << 20, 'x'));
    r = corre_con(4u << 20);
    EXPECT_EQ(0, r.estado);
    EXPECT_TRUE(std::string(30u << 20, 'x') == lee_fichero(escena / "b.php"));

    escribe_fichero(escena / "a.php", std::string(3u << 20, 'x'));
    escribe_fichero(escena / "b.php", "antes");
    r = corre_con(2u << 20);
    EXPECT_EQ(1, r.estado);
    EXPECT_EQ("Memoria insuficiente\n", r.salida);
    EXPECT_EQ("antes", lee_fichero(escena / "b.php"));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(escena.ruta()), fs::directory_iterator()));
}

TEST(Cli, OrigenDesdeUnaTuberia) {
    if (kWindows) {
        GTEST_SKIP() << "no /dev/stdin on Windows";
    }
    const carpeta_temporal escena;
    const resultado r =
        ejecuta({"/bin/sh", "-c",
                 std::string("printf 'a\\r\\n  b' | ") + KEXO_BINARIO + " /dev/stdin b.php"},
                entorno_sin_phprc(), escena.ruta());
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ(longitud(6), r.salida);
    EXPECT_EQ("a b", lee_fichero(escena / "b.php"));
}

}  // namespace

}  // namespace kexo
