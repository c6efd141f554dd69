// kexo-arbol --borra: what the source no longer has is removed, and nothing
// else: not what the rules leave out deeper, not across a mount.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "common/carpeta.h"
#include "common/ficheros.h"
#include "salida/lectura.h"
#include "tests/arbol_comun.h"
#include "tests/proceso.h"
#include "tree/estado.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {
namespace {

// What -x or -s leaves out stays under --borra at any depth, and so do the
// folders that hold it, even one the source no longer has; --borra-excluidos
// removes it all.
TEST(Arbol, BorraDejaLoExcluidoMasAdentro) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    const fs::path destino = escena / "destino";
    fs::create_directories(origen / "e");
    fs::create_directories(origen / "g/h");
    escribe_fichero(origen / "b.php", "<?php\n  $b = 1; // b\n");
    escribe_fichero(origen / "e/t.txt", "texto");
    escribe_fichero(origen / "e/p.php", "<?php\n  $p = 1; // p\n");
    escribe_fichero(origen / "g/h/q.php", "<?php\n  $q = 1; // q\n");
    escribe_fichero(origen / "g/h/x.log", "registro");
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    fs::remove(origen / "e/p.php");
    fs::remove_all(origen / "g");
    resultado r = arbol(escena.ruta(), {"-s", "--borra", "-x", "*.log", "origen", "destino"});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("Borrado e/p.php\nBorrado g/h/q.php\n")) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("borrados 2, fallidos 0")) << r.salida;
    EXPECT_TRUE(fs::exists(destino / "e/t.txt"));
    EXPECT_TRUE(fs::exists(destino / "g/h/x.log"));
    EXPECT_FALSE(fs::exists(destino / "g/h/q.php"));
    r = arbol(escena.ruta(),
              {"-s", "--borra", "--borra-excluidos", "-x", "*.log", "origen", "destino"});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("borrados 5, fallidos 0")) << r.salida;
    EXPECT_FALSE(fs::exists(destino / "e"));
    EXPECT_FALSE(fs::exists(destino / "g"));
    EXPECT_TRUE(fs::exists(destino / "b.php"));
}

// A chain of folders planted in the destination, deeper than any path can
// name, is reported as not removed, never followed down until the stack is
// spent.
TEST(Arbol, BorraUnaCarpetaSinFondo) {
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen");
    escribe_fichero(escena / "origen/a.txt", "a");
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    constexpr int kNiveles = 40000;
    int fd = open((escena / "destino").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < kNiveles && fd >= 0; ++i) {
        const char* nombre = i == 0 ? "hondo" : "x";
        ASSERT_EQ(0, mkdirat(fd, nombre, 0755));
        const int dentro = openat(fd, nombre, O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = dentro;
    }
    ASSERT_GE(fd, 0);
    close(fd);
    const resultado r = arbol(escena.ruta(), {"--borra", "origen", "destino"});
    EXPECT_EQ(2, r.estado);
    EXPECT_NE(std::string::npos, r.salida.find("Imposible borrar hondo: "))
        << r.salida.substr(0, 300);
    EXPECT_NE(std::string::npos, r.salida.find("(36)\n")) << r.salida.substr(0, 300);
    EXPECT_EQ("a", lee_fichero(escena / "destino/a.txt"));
    // Taken down from the top, a level at a time: no path names its bottom.
    const fs::path hondo = escena / "destino/hondo";
    while (fs::exists(hondo / "x")) {
        fs::rename(hondo / "x", escena / "destino/arriba");
        fs::remove(hondo);
        fs::rename(escena / "destino/arriba", hondo);
    }
}

// --borra leaves alone only the temporary files of runs going on: a file of
// the source's whose name only begins as theirs goes when the source loses it.
TEST(Arbol, BorraNombresComoTemporales) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    const fs::path destino = escena / "destino";
    fs::create_directories(origen);
    escribe_fichero(origen / ".kexo-notas.txt", "notas");
    escribe_fichero(origen / "a.txt", "a");
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    ASSERT_TRUE(fs::exists(destino / ".kexo-notas.txt"));
    fs::remove(origen / ".kexo-notas.txt");
    // Named as a temporary file of a process that runs: this one.
    const std::string en_curso = ".kexo-" + std::to_string(getpid()) + "-7";
    escribe_fichero(destino / en_curso, "a medias");
    const resultado r = arbol(escena.ruta(), {"--borra", "origen", "destino"});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("Borrado .kexo-notas.txt\n")) << r.salida;
    EXPECT_FALSE(fs::exists(destino / ".kexo-notas.txt"));
    EXPECT_TRUE(fs::exists(destino / en_curso));
}

// --borra removes what the source no longer has, and only that: never what
// the patterns leave out (unless --borra-excluidos), never through a link,
// never outside the destination.
TEST(Arbol, BorraLoQueElOrigenYaNoTiene) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "sub/hondo");
    fs::create_directories(origen / "queda");
    escribe_fichero(origen / "a.php", "<?php\n  $a = 1; // c\n");
    escribe_fichero(origen / "sub/b.php", "<?php $b = 1;");
    escribe_fichero(origen / "sub/hondo/c.txt", "c");
    escribe_fichero(origen / "queda/d.txt", "d");
    fs::create_symlink("a.php", origen / "enlace");
    const std::vector<std::string> patrones = {"-x", "*.log", "-x", "/privado/"};
    std::vector<std::string> args = patrones;
    args.insert(args.end(), {"origen", "destino"});
    ASSERT_EQ(0, arbol(escena.ruta(), args).estado);
    // Outside the destination, reached by links planted in it.
    fs::create_directories(escena / "fuera/dentro");
    escribe_fichero(escena / "fuera/dentro/f.php", "fuera");
    fs::create_symlink(escena / "fuera", escena / "destino/sub/a-fuera");
    fs::create_directories(escena / "destino/sub/hondo/otro");
    fs::create_symlink(escena / "fuera/dentro", escena / "destino/sub/hondo/otro/dentro");
    escribe_fichero(escena / "destino/registro.log", "log");
    fs::create_directories(escena / "destino/privado");
    escribe_fichero(escena / "destino/privado/clave", "clave");
    // Gone from the source: a file, a folder with what it holds, a link.
    fs::remove(origen / "sub/b.php");
    fs::remove_all(origen / "sub/hondo");
    fs::remove(origen / "enlace");

    // Without --borra nothing goes.
    ASSERT_EQ(0, arbol(escena.ruta(), args).estado);
    EXPECT_TRUE(fs::exists(escena / "destino/sub/b.php"));

    // A dry run lists and removes nothing.
    const auto antes = foto(escena / "destino");
    args = patrones;
    args.insert(args.end(), {"-n", "--borra", "origen", "destino"});
    const resultado simulada = arbol(escena.ruta(), args);
    EXPECT_NE(std::string::npos, simulada.salida.find("Borrado enlace\nBorrado sub/a-fuera\n"
                                                      "Borrado sub/b.php\nBorrado sub/hondo\n"
                                                      "Borrado sub/hondo/c.txt\n"
                                                      "Borrado sub/hondo/otro\n"
                                                      "Borrado sub/hondo/otro/dentro\n"))
        << simulada.salida;
    EXPECT_EQ(antes, foto(escena / "destino"));

    args = patrones;
    args.insert(args.end(), {"--borra", "origen", "destino"});
    const resultado r = arbol(escena.ruta(), args);
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("borrados 7, fallidos 0")) << r.salida;
    EXPECT_EQ("fuera", lee_fichero(escena / "fuera/dentro/f.php"));
    EXPECT_EQ("clave", lee_fichero(escena / "destino/privado/clave"));
    EXPECT_EQ("log", lee_fichero(escena / "destino/registro.log"));
    fs::remove_all(escena / "destino/privado");
    fs::remove(escena / "destino/registro.log");
    igual_que_nueva(escena.ruta(), patrones, "origen", "destino");

    // --borra-excluidos: what the patterns leave out goes too.
    escribe_fichero(escena / "destino/registro.log", "log");
    args = patrones;
    args.insert(args.end(), {"--borra", "--borra-excluidos", "origen", "destino"});
    EXPECT_NE(std::string::npos, arbol(escena.ruta(), args).salida.find("Borrado registro.log\n"));
    EXPECT_FALSE(fs::exists(escena / "destino/registro.log"));
    EXPECT_TRUE(fs::exists(escena / "fuera/dentro/f.php"));
}

// A folder mounted in the destination, a bind mount of the same file system
// included, shows what is not the destination's: --borra never enters it,
// whether the source lacks that folder or has it too.
// Skipped where this machine may not mount.
TEST(Arbol, BorraNoEntraEnUnMontaje) {
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen/compartida");
    escribe_fichero(escena / "origen/a.php", "<?php $a = 1;");
    escribe_fichero(escena / "origen/compartida/b.php", "<?php $b = 1;");
    fs::create_directories(escena / "ajena/hondo");
    escribe_fichero(escena / "ajena/hondo/valiosa.txt", "v");
    fs::create_directories(escena / "otra");
    escribe_fichero(escena / "otra/suya.txt", "s");
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    montajes montados;
    if (!montados.monta((escena / "ajena").string(), escena / "destino/montada", "", true)) {
        GTEST_SKIP() << "cannot bind mount here";
    }
    ASSERT_TRUE(
        montados.monta((escena / "otra").string(), escena / "destino/compartida", "", true));
    const resultado r = arbol(escena.ruta(), {"--borra", "origen", "destino"});
    EXPECT_EQ(2, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("Imposible borrar montada: ")) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("Imposible borrar compartida: ")) << r.salida;
    EXPECT_EQ("v", lee_fichero(escena / "ajena/hondo/valiosa.txt"));
    EXPECT_EQ("s", lee_fichero(escena / "otra/suya.txt"));
}

}  // namespace
}  // namespace kexo
