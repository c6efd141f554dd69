// kexo-arbol in a hostile world: failures that do not stop the run, signals
// mid-run, read-only folders, abandoned temporaries, two runs at once,
// memory short and a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

TEST_F(ArbolGenerado, FallosSinPararYSinRastro) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run kexo-arbol as another user";
    }
    fs::permissions(escena_.ruta(), fs::perms(0777));
    fs::remove(origen_ / "d1/tubo.php");
    fs::permissions(origen_ / "d2/2/2.php", fs::perms(0));
    // A folder of the destination that the user who runs it may not write in:
    // another's (one of its own, read-only, it makes writable for the run).
    for (const char* carpeta : {"destino", "destino/d3", "destino/d3/0"}) {
        fs::create_directory(escena_ / carpeta);
        ASSERT_EQ(0, chown((escena_ / carpeta).c_str(), 65534, 65534));
    }
    ASSERT_EQ(0, chown((escena_ / "destino/d3/0").c_str(), 0, 0));
    fs::permissions(escena_ / "destino/d3/0", fs::perms(0755));
    const auto programa = copia_para_todos(KEXO_BINARIO_ARBOL, escena_.ruta());
    const resultado r = arbol_kexo(escena_.ruta(), {"origen", "destino"}, {0, 65534}, programa);
    EXPECT_EQ(2, r.estado);  // some entries failed, the rest done
    EXPECT_NE(std::string::npos,
              r.salida.find("Imposible leer d2/2/2.php: Permiso denegado (13)\n"));  // mode 0
    EXPECT_NE(std::string::npos,
              r.salida.find("Imposible escribir d3/0/24.php: Permiso denegado (13)\n"))
        << r.salida;
    EXPECT_EQ("<?php $a = 58;", lee_fichero(escena_ / "destino/d2/1/58.php"));
    // Again, for machines: the same failures, each with its side and number.
    const resultado json =
        arbol_kexo(escena_.ruta(), {"--informe=json", "origen", "destino"}, {0, 65534}, programa);
    EXPECT_EQ(2, json.estado);
    // The one that could not be read still gives its size.
    const std::string tamano = std::to_string(fs::file_size(origen_ / "d2/2/2.php"));
    for (const std::string& objeto :
         {R"({"ruta":"d2/2/2.php","accion":"fallido","antes":)" + tamano,
          std::string(R"({"ruta":"d3/0/24.php","accion":"fallido",)"),
          std::string(R"("al_leer":true,"error":13})"),
          std::string(R"("al_leer":false,"error":13})")}) {
        EXPECT_NE(std::string::npos, json.salida.find(objeto)) << objeto << "\n" << json.salida;
    }
}

TEST_F(ArbolGenerado, SenalAMedias) {
    escribe_fichero(origen_ / "grande.php", std::string(200u << 20, 'x'));
    proceso kexo(orden_de(KEXO_BINARIO_ARBOL, {"-j2", "origen", "destino"}), entorno_sin_phprc(),
                 escena_.ruta());
    usleep(100000);
    kexo.senal(SIGINT);
    const resultado r = kexo.espera();
    EXPECT_TRUE(r.estado == 128 + SIGINT || r.estado == 0) << r.estado;
    // Whatever was written is whole, and nothing else is left (a slow start
    // may have made no destination yet).
    if (!fs::exists(escena_ / "destino")) {
        return;
    }
    for (const auto& [nombre, bytes] : contenido(escena_ / "destino")) {
        EXPECT_EQ(std::string::npos, nombre.find(".kexo-")) << nombre;
        if (nombre == "grande.php") {
            EXPECT_EQ(200u << 20, lee_fichero(escena_ / "destino/grande.php").size());
        }
    }
}

// As a user without privileges, a read-only file of the mirror in a folder
// that user may write is replaced, as rsync does.
TEST(Arbol, SoloLecturaSinPrivilegios) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run kexo-arbol as another user";
    }
    const carpeta_temporal escena;
    fs::permissions(escena.ruta(), fs::perms(0777));
    const std::string kexo = copia_para_todos(KEXO_BINARIO_ARBOL, escena.ruta());
    fs::create_directories(escena / "origen/ro");
    escribe_fichero(escena / "origen/ro/c.txt", "antes");
    fs::permissions(escena / "origen/ro/c.txt", fs::perms(0444));
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}, {0, 65534}, kexo).estado);
    fs::permissions(escena / "origen/ro/c.txt", fs::perms(0644));
    escribe_fichero(escena / "origen/ro/c.txt", "despues");
    fs::permissions(escena / "origen/ro/c.txt", fs::perms(0444));
    const resultado r = arbol(escena.ruta(), {"origen", "destino"}, {0, 65534}, kexo);
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_EQ("despues", lee_fichero(escena / "destino/ro/c.txt"));
    // Read-only, it still carries its record: the next run leaves it alone.
    if (guarda_atributos(escena.ruta())) {
        const auto antes = huellas(escena / "destino");
        const resultado otra = arbol(escena.ruta(), {"origen", "destino"}, {0, 65534}, kexo);
        EXPECT_NE(std::string::npos, otra.salida.find("copiados 0, al dia 1, fallidos 0"))
            << otra.salida;
        EXPECT_EQ(antes, huellas(escena / "destino"));
        EXPECT_EQ(fs::perms(0444), fs::status(escena / "destino/ro/c.txt").permissions());
    }
}

// Read-only source folders make read-only destination folders: a run after,
// without privileges, still writes and removes in them, and sets their bits
// back.
TEST(Arbol, CarpetasDeSoloLecturaSinPrivilegios) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run kexo-arbol as another user";
    }
    const carpeta_temporal escena;
    fs::permissions(escena.ruta(), fs::perms(0777));
    const std::string kexo = copia_para_todos(KEXO_BINARIO_ARBOL, escena.ruta());
    const fs::path origen = escena / "origen";
    const fs::path destino = escena / "destino";
    fs::create_directories(origen / "ro");
    escribe_fichero(origen / "r.txt", "raiz antes");
    escribe_fichero(origen / "ro/a.php", "<?php\n  $a = 1; // a\n");
    escribe_fichero(origen / "ro/t.txt", "se va");
    const auto solo_lectura = [&](bool si) {
        for (const fs::path& carpeta : {origen, origen / "ro"}) {
            fs::permissions(carpeta, fs::perms(si ? 0555 : 0755));
        }
    };
    solo_lectura(true);
    ASSERT_EQ(0, arbol_kexo(escena.ruta(), {"origen", "destino"}, {0, 65534}, kexo).estado);
    EXPECT_EQ(fs::perms(0555), fs::status(destino / "ro").permissions());
    solo_lectura(false);
    escribe_fichero(origen / "r.txt", "raiz despues");
    escribe_fichero(origen / "ro/a.php", "<?php\n  $a = 2; // a\n");
    fs::remove(origen / "ro/t.txt");
    escribe_fichero(origen / "ro/u.txt", "nuevo");
    solo_lectura(true);
    const resultado r =
        arbol_kexo(escena.ruta(), {"--borra", "origen", "destino"}, {0, 65534}, kexo);
    solo_lectura(false);
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("Borrado ro/t.txt\n")) << r.salida;
    EXPECT_EQ("raiz despues", lee_fichero(destino / "r.txt"));
    EXPECT_EQ("nuevo", lee_fichero(destino / "ro/u.txt"));
    EXPECT_NE(std::string::npos, lee_fichero(destino / "ro/a.php").find("$a = 2;"));
    EXPECT_FALSE(fs::exists(destino / "ro/t.txt"));
    EXPECT_EQ(fs::perms(0555), fs::status(destino).permissions());
    EXPECT_EQ(fs::perms(0555), fs::status(destino / "ro").permissions());
}

// What a killed run left, by name and kind: only its own temporary files,
// of a process that is gone, are removed; a user's files stay.
TEST(Arbol, TemporalesAbandonados) {
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen/sub");
    escribe_fichero(escena / "origen/sub/a.txt", "a");
    fs::create_directories(escena / "destino/sub");
    // No process has this number: it is past any system's limit.
    const struct {
        const char* ruta;
        char clase;  // f: file, l: link, d: folder
        bool queda;
    } casos[] = {
        {".kexo-2147483647-3", 'f', false},
        {"sub/.kexo-2147483647-5", 'l', false},
        {".kexo-2147483647-4", 'd', true},       // not a kind a run makes
        {".kexo-1-6", 'f', true},                // its process lives
        {"sub/.kexo-2147483647-7x", 'f', true},  // not its name
        {"sub/a.txt.kexo-enlace", 'f', true},    // a user's file
    };
    for (const auto& c : casos) {
        const fs::path ruta = escena / "destino" / c.ruta;
        if (c.clase == 'f') {
            escribe_fichero(ruta, "x");
        } else if (c.clase == 'l') {
            fs::create_symlink("a.txt", ruta);
        } else {
            fs::create_directory(ruta);
        }
    }
    EXPECT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    for (const auto& c : casos) {
        EXPECT_EQ(c.queda, fs::exists(fs::symlink_status(escena / "destino" / c.ruta))) << c.ruta;
    }
}

// A source file named as a temporary of a dead run is the source's: mirrored
// once, then left alone, never removed as a leftover (and missing meanwhile).
TEST(Arbol, FicherosDelOrigenConNombreDeTemporal) {
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen/sub");
    escribe_fichero(escena / "origen/.kexo-2147483647-9", "raiz");
    escribe_fichero(escena / "origen/sub/.kexo-2147483647-8", "sub");
    EXPECT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    const ino_t antes = estado_de(escena / "destino/sub/.kexo-2147483647-8").st_ino;
    const resultado otra = arbol(escena.ruta(), {"origen", "destino"});
    EXPECT_NE(std::string::npos, otra.salida.find("copiados 0, al dia 2,")) << otra.salida;
    EXPECT_EQ(antes, estado_de(escena / "destino/sub/.kexo-2147483647-8").st_ino);
    EXPECT_EQ("raiz", lee_fichero(escena / "destino/.kexo-2147483647-9"));
}

// Two runs into one destination at once: both complete, neither reports
// what the other does.
TEST(Arbol, DosEjecucionesALaVez) {
    const carpeta_temporal escena;
    for (int i = 0; i < 500; ++i) {
        const fs::path carpeta = escena / "origen" / std::to_string(i % 10);
        fs::create_directories(carpeta);
        escribe_fichero(carpeta / (std::to_string(i) + ".php"), "<?php $a = 1; // c");
        fs::create_symlink(std::to_string(i) + ".php", carpeta / ("l" + std::to_string(i)));
    }
    proceso uno(orden_de(KEXO_BINARIO_ARBOL, {"--modo=kexo", "origen", "destino"}),
                entorno_sin_phprc(), escena.ruta());
    proceso otro(orden_de(KEXO_BINARIO_ARBOL, {"--modo=kexo", "origen", "destino"}),
                 entorno_sin_phprc(), escena.ruta());
    // What one run finds already written by the other it leaves alone: the
    // two counts make 500, whatever each run did.
    for (const resultado& r : {uno.espera(), otro.espera()}) {
        EXPECT_EQ(0, r.estado);
        unsigned compactados = 0;
        unsigned al_dia = 0;
        char resto[128] = {};
        const bool con_al_dia =
            std::sscanf(r.salida.c_str(),
                        "Compactados %u (0 por las reglas de PHP), sin compactar 0, copiados 0, "
                        "al dia %u, %127[^\n]",
                        &compactados, &al_dia, resto) == 3;
        if (!con_al_dia) {
            al_dia = 0;
            ASSERT_EQ(2, std::sscanf(r.salida.c_str(),
                                     "Compactados %u (0 por las reglas de PHP), sin compactar 0, "
                                     "copiados 0, %127[^\n]",
                                     &compactados, resto))
                << r.salida;
        }
        EXPECT_EQ("fallidos 0; PHP 9000 -> 6500 bytes (27.8% menos)", std::string(resto))
            << r.salida;
        EXPECT_EQ(500u, compactados + al_dia) << r.salida;
    }
    EXPECT_EQ(contenido(escena / "origen").size(), contenido(escena / "destino").size());
}

// Memory that runs out on one file is reported for it, and the run goes on.
TEST(Arbol, MemoriaInsuficienteEnUnFichero) {
#if defined(KEXO_SANITIZADO)
    GTEST_SKIP() << "the sanitizers need more address space than the limit";
#endif
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen");
    escribe_fichero(escena / "origen/a.php", "<?php $a = 1; // c");
    escribe_fichero(escena / "origen/grande.php", std::string(30u << 20, 'x'));
    escribe_fichero(escena / "origen/z.txt", "z");
    const resultado r = arbol_kexo(escena.ruta(), {"-j1", "origen", "destino"}, {60u << 20});
    EXPECT_EQ(2, r.estado);
    EXPECT_EQ(
        "Memoria insuficiente para grande.php\n"
        "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, fallidos 1; PHP 18 "
        "-> 13 bytes (27.8% "
        "menos)\n",
        r.salida);
    EXPECT_EQ((std::set<std::string>{"a.php", "z.txt"}), nombres_en(escena / "destino"));
}

// A full disk is reported as such for each file, and leaves nothing behind.
TEST(Arbol, DiscoLleno) {
    const carpeta_temporal escena;
    montajes montados;
    if (!montados.monta("tmpfs", escena / "lleno", "size=2m")) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    fs::create_directories(escena / "origen");
    std::string php;
    while (php.size() < (3u << 20)) {
        php += "<?php $a = 1; // c\r\n";
    }
    escribe_fichero(escena / "origen/g.php", php);  // compacted whole
    escribe_fichero(escena / "origen/g.txt", php);  // copied
    escribe_fichero(escena / "origen/h.php",
                    std::string(40u << 20, 'x'));  // copied, or compacted as read
    for (const char* opcion : {"-j2", "-c"}) {
        SCOPED_TRACE(opcion);
        const resultado r = arbol_kexo(escena.ruta(), {opcion, "origen", "lleno/d"});
        EXPECT_EQ(2, r.estado);
        for (const char* nombre : {"g.php", "g.txt", "h.php"}) {
            EXPECT_NE(std::string::npos,
                      r.salida.find(std::string("Imposible escribir ") + nombre +
                                    ": No queda espacio en el dispositivo (28)\n"))
                << r.salida;
        }
        EXPECT_EQ(std::set<std::string>{}, nombres_en(escena / "lleno/d"));
    }
}

// The record kept on each file written fits in the room a default inode keeps
// for attributes, on ext4 and XFS: a tree deployed takes no more disk than its
// source. A record too long for it takes a block of its own on every file.
TEST(Arbol, MarcaCabeEnElNodo) {
    struct fila {
        const char* tipo;
        std::uintmax_t megas;  // the image's size: XFS's tools make none under 300 MiB
    };
    std::string medidos;
    for (const fila& f : {fila{"ext4", 64}, fila{"xfs", 320}}) {
        SCOPED_TRACE(f.tipo);
        const carpeta_temporal escena;
        montajes montados;
        const fs::path disco = escena / "disco";
        if (!montados.monta_imagen(f.tipo, escena / "imagen", f.megas, disco)) {
            continue;
        }
        constexpr int kFicheros = 300;
        for (int i = 0; i < kFicheros; ++i) {
            const fs::path carpeta = disco / "origen" / ("d" + std::to_string(i % 6));
            fs::create_directories(carpeta);
            std::string php = "<?php\r\n// Fichero " + std::to_string(i) + "\r\n";
            for (int j = 0; j < i % 40; ++j) {
                php += "  $v" + std::to_string(j) + " = " + std::to_string(i * j) +
                       ";  /* nota */\r\n";
            }
            escribe_fichero(carpeta / (std::to_string(i) + ".php"), php);
        }
        ASSERT_EQ(0, arbol(disco, {"origen", "destino"}).estado);
        // The disk its files take (st_blocks, as du counts it), and how many
        // of them carry a record.
        struct medida {
            long long bloques = 0;
            int marcados = 0;
        };
        const auto mide = [](const fs::path& raiz) {
            medida m;
            for (const auto& e : fs::recursive_directory_iterator(raiz)) {
                struct stat visto {};
                EXPECT_EQ(0, lstat(e.path().c_str(), &visto)) << e.path();
                if (S_ISREG(visto.st_mode)) {
                    m.bloques += visto.st_blocks;
                    m.marcados += getxattr(e.path().c_str(), "user.kexo", nullptr, 0) > 0 ? 1 : 0;
                }
            }
            return m;
        };
        const long long origen = mide(disco / "origen").bloques;
        const medida destino_medido = mide(disco / "destino");
        const long long destino = destino_medido.bloques;
        EXPECT_EQ(kFicheros, destino_medido.marcados);
        EXPECT_LE(destino, origen);
        medidos += std::string(" ") + f.tipo + " " + std::to_string(origen) + " -> " +
                   std::to_string(destino) + " blocks of 512 bytes;";
    }
    if (medidos.empty()) {
        GTEST_SKIP() << "cannot make and mount an ext4 or XFS image here";
    }
    std::printf("measured on%s\n", medidos.c_str());  // for whoever reads the log
}

// A destination whose file system keeps whole seconds (ext4 with 128-byte
// inodes) takes the sources' times less their fractions: a rerun still
// finds every folder, link and file up to date, and touches none of them.
TEST(Arbol, DestinoConSegundosEnterosAlDia) {
    const carpeta_temporal escena;
    montajes montados;
    const fs::path disco = escena / "disco";
    if (!montados.monta_imagen("ext4", escena / "imagen", 32, disco, {"-I", "128"})) {
        GTEST_SKIP() << "cannot make and mount an ext4 image here";
    }
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "d/e");
    escribe_fichero(origen / "a.php", "<?php $a = 1; // c\n");
    escribe_fichero(origen / "d/b.txt", "b");
    escribe_fichero(origen / "d/e/c.php", "<?php $c = 3;\n");
    fs::create_symlink("../a.php", origen / "d/l");
    fs::create_symlink("c.php", origen / "d/e/m");
    // Deepest first: a time set changes none of its folder's. Each with a
    // fraction of a second, which the source's file system must keep.
    long ns = 123456789;
    for (const char* ruta : {"d/e/m", "d/e/c.php", "d/e", "d/l", "d/b.txt", "d", "a.php", "."}) {
        const struct timespec tiempos[2] = {{1600000000, ns}, {1600000000, ns}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, (origen / ruta).c_str(), tiempos, AT_SYMLINK_NOFOLLOW));
        if (estado_de(origen / ruta).st_mtim.tv_nsec != ns) {
            GTEST_SKIP() << "the source's file system keeps no fractions of a second";
        }
        ns += 111111;
    }
    const fs::path destino = disco / "destino";
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", destino.string()}).estado);
    // What the destination keeps: whole seconds.
    ASSERT_EQ(0, estado_de(destino / "d").st_mtim.tv_nsec);
    ASSERT_EQ(1600000000, estado_de(destino / "d").st_mtim.tv_sec);
    // Change times too keep whole seconds: one set again from here on shows.
    const auto huellas_y_raiz = [&destino] {
        auto todas = huellas(destino);
        todas["."] = std::to_string(estado_de(destino).st_ctim.tv_sec);
        return todas;
    };
    const auto antes = huellas_y_raiz();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    for (const char* opcion : {"-n", "-j2"}) {
        SCOPED_TRACE(opcion);
        const resultado r =
            arbol(escena.ruta(), {opcion, "--informe=json", "origen", destino.string()});
        EXPECT_EQ(0, r.estado) << r.salida;
        int al_dia = 0;
        for (std::size_t en = 0; (en = r.salida.find("{\"ruta\":", en)) != std::string::npos;
             ++en) {
            const std::string linea = r.salida.substr(en, r.salida.find('\n', en) - en);
            EXPECT_NE(std::string::npos, linea.find("\"accion\":\"al_dia\"")) << linea;
            ++al_dia;
        }
        EXPECT_EQ(7, al_dia) << r.salida;  // folders, links and files alike
        EXPECT_EQ(std::set<std::string>{}, cambiadas(antes, huellas_y_raiz()));
    }
}

// Incremental runs: what a run over an existing destination leaves alone,
// what it writes again, and that the result is always what a fresh run into
// an empty folder gives.

// A run killed midway leaves every file old or new; the next run completes
// the tree.
TEST_F(ArbolGenerado, TrasUnaSenalLaSiguienteCompleta) {
    escribe_fichero(origen_ / "grande.php", std::string(200u << 20, 'x'));
    ASSERT_EQ(0, arbol(escena_.ruta(), {"origen", "destino"}).estado);
    for (int i = 0; i < 60; i += 2) {
        const fs::path carpeta = origen_ / ("d" + std::to_string(i % 7)) / std::to_string(i % 3);
        escribe_fichero(carpeta / (std::to_string(i) + ".php"), "<?php $nuevo = 1; // c\n");
    }
    escribe_fichero(origen_ / "grande.php", std::string(200u << 20, 'y'));
    proceso kexo(orden_de(KEXO_BINARIO_ARBOL, {"-j2", "origen", "destino"}), entorno_sin_phprc(),
                 escena_.ruta());
    usleep(100000);
    kexo.senal(SIGINT);
    kexo.espera();
    const std::string grande = lee_fichero(escena_ / "destino/grande.php");
    EXPECT_TRUE(grande == std::string(200u << 20, 'x') || grande == std::string(200u << 20, 'y'));
    ASSERT_EQ(0, arbol(escena_.ruta(), {"origen", "destino"}).estado);
    igual_que_nueva(escena_.ruta(), {}, "origen", "destino");
}

}  // namespace
}  // namespace kexo
