// kexo-arbol: the patterns, and end to end on generated trees what the case
// folders cannot hold: permission bits and times, links, special files, the
// same result for any number of threads, errors, and a signal mid-run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include "tests/proceso.h"
#include "tree/recorrido.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

TEST(Arbol, Patrones) {
    const struct {
        const char *patron, *ruta;
        bool coincide;
    } casos[] = {
        {"vendor/*/tests", "vendor/a/tests", true},
        {"vendor/*/tests", "vendor/a/b/tests", false},
        {"vendor/*/tests", "x/vendor/a/tests", false},
        {"*.md", "docs/leeme.md", true},
        {"*.md", "leeme.mdx", false},
        {"?.php", "a.php", true},
        {"?.php", "ab.php", false},
        {"a/?", "a/b", true},
        {"*", "a/b", true},
        {"a*", "a/b", false},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.coincide, coincide_patron(c.patron, c.ruta)) << c.patron << " " << c.ruta;
    }
    EXPECT_TRUE(tiene_extension("a.PHP", {"php"}));
    EXPECT_TRUE(tiene_extension("a.inc", {"php", "inc"}));
    EXPECT_FALSE(tiene_extension(".php", {"php"}));
    EXPECT_FALSE(tiene_extension("a.php.txt", {"php"}));
}

// Every entry under `raiz`: a file's bytes and permission bits, a link's target.
std::map<std::string, std::string> contenido(const fs::path& raiz) {
    std::map<std::string, std::string> todo;
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        const std::string nombre = fs::relative(i->path(), raiz).string();
        struct stat estado;
        lstat(i->path().c_str(), &estado);
        todo[nombre] = std::to_string(estado.st_mode) +
                       (i->is_symlink()     ? " -> " + fs::read_symlink(i->path()).string()
                        : i->is_directory() ? ""
                                            : " " + lee_fichero(i->path()));
    }
    return todo;
}

resultado arbol(const fs::path& carpeta, const std::vector<std::string>& argumentos,
                limites limite = {}, const std::string& binario = KEXO_BINARIO_ARBOL) {
    return ejecuta(orden_de(binario, argumentos), entorno_sin_phprc(), carpeta, limite);
}

class ArbolGenerado : public ::testing::Test {
   protected:
    void SetUp() override {
        for (int i = 0; i < 60; ++i) {
            const fs::path carpeta =
                origen_ / ("d" + std::to_string(i % 7)) / std::to_string(i % 3);
            fs::create_directories(carpeta);
            const std::string n = std::to_string(i);
            escribe_fichero(carpeta / (n + ".php"), "<?php\r\n  $a = " + n + "; // c\r\n");
            escribe_fichero(carpeta / ("h" + n + ".php"),
                            "<?php $h = <<<X\r\n  " + n + "\r\nX;\r\n");
            escribe_fichero(carpeta / (n + ".txt"), "texto " + n);
            fs::permissions(carpeta / (n + ".php"), fs::perms(i % 2 ? 0600 : 0755));
        }
        fs::last_write_time(origen_ / "d0/0/0.php",
                            fs::file_time_type(std::chrono::hours(24 * 365 * 40)));
        fs::create_symlink("0/0.php", origen_ / "d0/enlace.php");
        fs::create_symlink("/etc/passwd", origen_ / "d0/fuera");
        mkfifo((origen_ / "d1/tubo.php").c_str(), 0600);
    }
    const carpeta_temporal escena_;
    const fs::path origen_ = escena_ / "origen";
};

TEST_F(ArbolGenerado, IgualConCualquierNumeroDeHilos) {
    const resultado uno = arbol(escena_.ruta(), {"-j", "1", "origen", "uno"});
    const resultado cuatro = arbol(escena_.ruta(), {"-j4", "origen", "cuatro"});
    EXPECT_EQ(0, uno.estado);
    EXPECT_EQ(uno.salida, cuatro.salida);
    EXPECT_EQ(contenido(escena_ / "uno"), contenido(escena_ / "cuatro"));
    EXPECT_NE(std::string::npos,
              uno.salida.find("Omitido d1/tubo.php: no es un fichero regular\n"));
    EXPECT_NE(std::string::npos, uno.salida.find("Compactados 60, sin compactar 60, copiados 60"));
    // Links are recreated, not followed; bits and times are kept.
    EXPECT_EQ("0/0.php", fs::read_symlink(escena_ / "uno/d0/enlace.php"));
    EXPECT_EQ("/etc/passwd", fs::read_symlink(escena_ / "uno/d0/fuera"));
    EXPECT_EQ(fs::perms(0600), fs::status(escena_ / "uno/d1/1/1.php").permissions());
    EXPECT_EQ(fs::perms(0755), fs::status(escena_ / "uno/d0/0/0.php").permissions());
    EXPECT_EQ(fs::last_write_time(origen_ / "d0/0/0.php"),
              fs::last_write_time(escena_ / "uno/d0/0/0.php"));
    EXPECT_EQ("<?php $a = 0;", lee_fichero(escena_ / "uno/d0/0/0.php"));
    // A second run over the mirror replaces what is there.
    escribe_fichero(escena_ / "uno/d0/0/0.php", "viejo");
    EXPECT_EQ(uno.salida, arbol(escena_.ruta(), {"origen", "uno"}).salida);
    EXPECT_EQ(contenido(escena_ / "uno"), contenido(escena_ / "cuatro"));
}

TEST_F(ArbolGenerado, FallosSinPararYSinRastro) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run kexo-arbol as another user";
    }
    fs::permissions(escena_.ruta(), fs::perms(0777));
    fs::remove(origen_ / "d1/tubo.php");
    fs::permissions(origen_ / "d2/2/2.php", fs::perms(0));
    // A folder of the destination that its owner may not write in.
    for (const char* carpeta : {"destino", "destino/d3", "destino/d3/0"}) {
        fs::create_directory(escena_ / carpeta);
        ASSERT_EQ(0, chown((escena_ / carpeta).c_str(), 65534, 65534));
    }
    fs::permissions(escena_ / "destino/d3/0", fs::perms(0555));
    const resultado r = arbol(escena_.ruta(), {"origen", "destino"}, {0, 65534},
                              copia_para_todos(KEXO_BINARIO_ARBOL, escena_.ruta()));
    EXPECT_EQ(1, r.estado);
    EXPECT_NE(std::string::npos, r.salida.find("Imposible leer d2/2/2.php (13)\n"));  // mode 0
    EXPECT_NE(std::string::npos, r.salida.find("Imposible escribir d3/0/24.php (13)\n"))
        << r.salida;
    EXPECT_EQ("<?php $a = 58;", lee_fichero(escena_ / "destino/d2/1/58.php"));
}

// Progress shows where standard error is a terminal, read while the workers
// write: under ThreadSanitizer a race there fails the run.
TEST_F(ArbolGenerado, AvanceEnUnTerminal) {
    if (!fs::exists("/usr/bin/script")) {
        GTEST_SKIP() << "needs script(1), to give kexo-arbol a terminal";
    }
    // Long enough for the progress to show at least once: files small enough
    // to be read whole and checked, since a copy is over at once.
    for (const char* nombre : {"grande0.php", "grande1.php", "grande2.php", "grande3.php"}) {
        escribe_fichero(origen_ / nombre, std::string(31u << 20, 'x'));
    }
    const std::string orden = std::string(KEXO_BINARIO_ARBOL) + " -j2 origen destino";
    const resultado r = ejecuta({"/usr/bin/script", "-qec", orden, "/dev/null"},
                                entorno_sin_phprc(), escena_.ruta());
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find(" ficheros, ")) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("/187 ficheros"))
        << r.salida;  // folders not counted
}

TEST(Arbol, Version) {
    const carpeta_temporal escena;
    const resultado r = arbol(escena.ruta(), {"--version"});
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ(0u, r.salida.rfind("kexo-arbol " KEXO_VERSION "\nVias de escaneo: ", 0)) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find(" paradas (la primera, elegida)\n")) << r.salida;
}

TEST_F(ArbolGenerado, SenalAMedias) {
    escribe_fichero(origen_ / "grande.php", std::string(200u << 20, 'x'));
    proceso kexo(orden_de(KEXO_BINARIO_ARBOL, {"-j2", "origen", "destino"}), entorno_sin_phprc(),
                 escena_.ruta());
    usleep(100000);
    kexo.senal(SIGINT);
    const resultado r = kexo.espera();
    EXPECT_TRUE(r.estado == 128 + SIGINT || r.estado == 0) << r.estado;
    // Whatever was written is whole, and nothing else is left.
    for (const auto& [nombre, bytes] : contenido(escena_ / "destino")) {
        EXPECT_EQ(std::string::npos, nombre.find(".kexo-")) << nombre;
        if (nombre == "grande.php") {
            EXPECT_EQ(200u << 20, lee_fichero(escena_ / "destino/grande.php").size());
        }
    }
}

}  // namespace

}  // namespace kexo
