// kexo-arbol's reruns: the record kept on each file written, the content
// sum, and what a second run leaves alone.
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

// A read-only folder already up to date is made writable for the run and
// its bits set back: a run that writes nothing in it reports it up to date,
// one that does reports it done; either way it ends read-only.
TEST(Arbol, CarpetaDeSoloLecturaAlDia) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    const fs::path destino = escena / "destino";
    fs::create_directories(origen / "ro");
    fs::create_directories(origen / "rw");
    escribe_fichero(origen / "ro/a.php", "<?php\n$a = 1;\n");
    escribe_fichero(origen / "rw/b.txt", "b");
    fs::permissions(origen / "ro", fs::perms(0555));
    const auto ejecuta_vv = [&] {
        const resultado r = arbol(escena.ruta(), {"-vv", "-j1", "origen", "destino"});
        EXPECT_EQ(0, r.estado) << r.salida;
        EXPECT_EQ(fs::perms(0555), fs::status(destino / "ro").permissions());
        return r.salida;
    };
    EXPECT_NE(std::string::npos, ejecuta_vv().find("+d ro\n"));
    const std::string otra = ejecuta_vv();
    EXPECT_NE(std::string::npos, otra.find(".d ro\n")) << otra;
    EXPECT_NE(std::string::npos, otra.find(".d rw\n")) << otra;
    fs::permissions(origen / "ro", fs::perms(0755));
    escribe_fichero(origen / "ro/c.php", "<?php\n$c = 1;\n");
    fs::permissions(origen / "ro", fs::perms(0555));
    const std::string tras_cambio = ejecuta_vv();
    fs::permissions(origen / "ro", fs::perms(0755));
    EXPECT_NE(std::string::npos, tras_cambio.find("+d ro\n")) << tras_cambio;
    EXPECT_EQ(fs::perms(0755), fs::status(destino / "rw").permissions());
    fs::permissions(destino / "ro", fs::perms(0755));  // for the scene's removal
}

TEST_F(ArbolGenerado, SegundaEjecucionNoReescribeNada) {
    if (!guarda_atributos(escena_.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    ASSERT_EQ(0, arbol_kexo(escena_.ruta(), {"origen", "destino"}).estado);
    const auto antes = huellas(escena_ / "destino");
    const resultado otra = arbol_kexo(escena_.ruta(), {"--informe=json", "origen", "destino"});
    EXPECT_EQ(0, otra.estado);
    // Not one entry written, nor its attributes set again.
    EXPECT_EQ(std::set<std::string>{}, cambiadas(antes, huellas(escena_ / "destino")));
    EXPECT_NE(std::string::npos, otra.salida.find("\"compactados\":0,\"por_reglas_de_php\":0,"
                                                  "\"sin_compactar\":0,\"copiados\":0,"
                                                  "\"al_dia\":180,"))
        << otra.salida;
    EXPECT_NE(std::string::npos,
              otra.salida.find("{\"ruta\":\"d0/enlace.php\",\"accion\":\"al_dia\"}"));

    // One source file changed: that file alone is written again.
    escribe_fichero(origen_ / "d3/1/10.php", "<?php\n  $cambiado = 1; // c\n");
    const resultado una = arbol_kexo(escena_.ruta(), {"origen", "destino"});
    termina_con(una,
                "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 0, al dia 179, "
                "fallidos 0");
    // Its folder's change time moves with it: the times it shows are the source's.
    EXPECT_EQ((std::set<std::string>{"d3/1", "d3/1/10.php"}),
              cambiadas(antes, huellas(escena_ / "destino")));
    igual_que_nueva(escena_.ruta(), {"--modo=kexo"}, "origen", "destino");
    // A dry run says the same and writes nothing.
    const auto ahora = huellas(escena_ / "destino");
    EXPECT_NE(std::string::npos, arbol_kexo(escena_.ruta(), {"-n", "origen", "destino"})
                                     .salida.find("copiados 0, al dia 180, fallidos 0"));
    EXPECT_EQ(ahora, huellas(escena_ / "destino"));
}

// What changes the output makes the next run write every file again: the
// notice, the rules, the check, the PHP extensions.
TEST(Arbol, OpcionesQueCambianLaSalida) {
    struct fila {
        const char* caso;
        std::vector<std::string> primera;
        std::vector<std::string> segunda;
        const char* aviso_primero;
        const char* aviso_segundo;
    };
    const std::vector<fila> filas = {
        {"notice", {}, {}, "Hecho por X\n", "Hecho por Y\n"},
        {"notice removed", {}, {}, "Hecho por X\n", nullptr},
        {"mode php, the default", {"--modo=kexo"}, {}, nullptr, nullptr},
        {"mode kexo", {}, {"--modo=kexo"}, nullptr, nullptr},
        {"without check", {}, {"-c"}, nullptr, nullptr},
        {"extensions", {}, {"-e", "php,inc"}, nullptr, nullptr},
    };
    for (const fila& f : filas) {
        SCOPED_TRACE(f.caso);
        const carpeta_temporal escena;
        const fs::path origen = escena / "origen";
        fs::create_directories(origen / "sub");
        escribe_fichero(origen / "a.php", "<?php\n  $a = 1; // c\n  echo __LINE__;\n");
        escribe_fichero(origen / "sub/b.inc", "<?php\n  $b = 2; /* c */\n");
        escribe_fichero(origen / "sub/h.php", "<?php $h = <<<X\n  uno\nX;\n  $i = 1;\n");
        const auto entorno = [&](const char* aviso, const char* carpeta) {
            if (aviso == nullptr) {
                return std::vector<std::string>{};
            }
            fs::create_directories(escena / carpeta);
            escribe_fichero(escena / carpeta / "kexo.ini", aviso);
            return std::vector<std::string>{"PHPRC=" + (escena / carpeta).string()};
        };
        const std::vector<std::string> primero = entorno(f.aviso_primero, "aviso1");
        const std::vector<std::string> segundo = entorno(f.aviso_segundo, "aviso2");
        std::vector<std::string> args = f.primera;
        args.insert(args.end(), {"origen", "destino"});
        ASSERT_EQ(0, arbol_con(escena.ruta(), args, primero).estado);
        args = f.segunda;
        args.insert(args.end(), {"origen", "destino"});
        const resultado r = arbol_con(escena.ruta(), args, segundo);
        EXPECT_EQ(0, r.estado) << r.salida;
        EXPECT_EQ(std::string::npos, r.salida.find("al dia")) << r.salida;
        igual_que_nueva(escena.ruta(), f.segunda, "origen", "destino", segundo);
    }
}

// A record lost, cut, garbled or of other options only costs a write: the
// file is written again, correctly, and the run reports no error.
TEST(Arbol, MarcaDanadaSoloCuestaEscribir) {
    const carpeta_temporal prueba;
    if (!guarda_atributos(prueba.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    struct fila {
        const char* caso;
        std::function<std::string(const std::string&)> dana;  // the new record, from the old
        bool quita;                                           // removed instead
    };
    const std::vector<fila> filas = {
        {"removed", nullptr, true},
        {"garbage", [](const std::string&) { return std::string("\xff\x01 basura"); }, false},
        {"empty", [](const std::string&) { return std::string(); }, false},
        {"cut", [](const std::string& m) { return m.substr(0, m.size() / 2); }, false},
        {"last field cut", [](const std::string& m) { return m.substr(0, m.size() - 1); }, false},
        {"trailing byte", [](const std::string& m) { return m + " "; }, false},
        {"other version",
         [](std::string m) {
             m[0] = static_cast<char>(m[0] + 1);
             return m;
         },
         false},
        {"other key",
         [](std::string m) {
             m[6] = m[6] == '1' ? '2' : '1';
             return m;
         },
         false},
    };
    for (const fila& f : filas) {
        SCOPED_TRACE(f.caso);
        const carpeta_temporal escena;
        fs::create_directories(escena / "origen");
        escribe_fichero(escena / "origen/a.php", "<?php\n  $a = 1; // c\n");
        escribe_fichero(escena / "origen/b.txt", "texto");
        ASSERT_EQ(0, arbol_kexo(escena.ruta(), {"origen", "destino"}).estado);
        for (const char* nombre : {"a.php", "b.txt"}) {
            const fs::path copia = escena / "destino" / nombre;
            char valor[512];
            const ssize_t n = getxattr(copia.c_str(), "user.kexo", valor, sizeof valor);
            ASSERT_GT(n, 0) << nombre;
            if (f.quita) {
                ASSERT_EQ(0, removexattr(copia.c_str(), "user.kexo"));
            } else {
                const std::string nueva = f.dana(std::string(valor, static_cast<std::size_t>(n)));
                ASSERT_EQ(0, setxattr(copia.c_str(), "user.kexo", nueva.data(), nueva.size(), 0));
            }
        }
        const auto antes = huellas(escena / "destino");
        const resultado r = arbol_kexo(escena.ruta(), {"origen", "destino"});
        termina_con(
            r, "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, fallidos 0");
        EXPECT_EQ((std::set<std::string>{"a.php", "b.txt"}),
                  cambiadas(antes, huellas(escena / "destino")));
        igual_que_nueva(escena.ruta(), {"--modo=kexo"}, "origen", "destino");
    }
}

// --suma compares content where size and time agree; where only the time
// differs (a fresh checkout), the copy's times follow and its bytes stay.
TEST(Arbol, SumaComparaElContenido) {
    const carpeta_temporal escena;
    if (!guarda_atributos(escena.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    const fs::path origen = escena / "origen";
    fs::create_directories(origen);
    escribe_fichero(origen / "a.php", "<?php\n  $a = 1; // c\n");
    escribe_fichero(origen / "b.txt", "texto uno");
    escribe_fichero(origen / "c.txt", "sin cambios");
    for (const char* nombre : {"a.php", "b.txt", "c.txt"}) {
        pon_tiempo(origen / nombre, 1500000000);
    }
    ASSERT_EQ(0, arbol_kexo(escena.ruta(), {"origen", "destino"}).estado);
    // The same size and time, other bytes: only --suma sees it.
    escribe_fichero(origen / "a.php", "<?php\n  $a = 2; // c\n");
    escribe_fichero(origen / "b.txt", "texto dos");
    pon_tiempo(origen / "a.php", 1500000000);
    pon_tiempo(origen / "b.txt", 1500000000);
    EXPECT_NE(std::string::npos,
              arbol_kexo(escena.ruta(), {"origen", "destino"}).salida.find("al dia 3"));
    const resultado r = arbol_kexo(escena.ruta(), {"--suma", "origen", "destino"});
    termina_con(r,
                "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, al dia 1, "
                "fallidos 0");
    igual_que_nueva(escena.ruta(), {"--modo=kexo"}, "origen", "destino");

    // A checkout: every time new, no byte changed.
    for (const char* nombre : {"a.php", "b.txt", "c.txt"}) {
        pon_tiempo(origen / nombre, 1600000000);
    }
    const auto antes = huellas(escena / "destino");
    EXPECT_NE(std::string::npos, arbol_kexo(escena.ruta(), {"--suma", "origen", "destino"})
                                     .salida.find("copiados 0, al dia 3, fallidos 0"));
    const auto despues = huellas(escena / "destino");
    for (const char* nombre : {"a.php", "b.txt", "c.txt"}) {
        espera_no_reescrito(antes, despues, nombre);
    }
    igual_que_nueva(escena.ruta(), {"--modo=kexo"}, "origen", "destino");
    // The records follow the times: the next run without --suma leaves all alone.
    EXPECT_NE(std::string::npos,
              arbol_kexo(escena.ruta(), {"origen", "destino"}).salida.find("al dia 3"));
    EXPECT_EQ(despues, huellas(escena / "destino"));
}

// A record sums the bytes a file was written with, a notice's header
// included wherever it goes: a checkout under --suma, every time new and no
// byte changed, leaves every file as it was.
TEST(Arbol, SumaConAvisoDejaLoEscrito) {
    const carpeta_temporal escena;
    if (!guarda_atributos(escena.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    const fs::path origen = escena / "origen";
    fs::create_directories(origen);
    escribe_fichero(escena / "aviso.txt", "Hecho por X\n");
    const std::vector<std::pair<const char*, std::string>> fuentes = {
        {"abre.php", "<?php\n  $a = 1; // c\n"},
        {"shebang.php", "#!/usr/bin/env php\n<?php\n  $b = 2; // c\n"},
        {"html.php", "<p>hola</p>\n<?php  $c = 3; ?>\n"},
        {"declare.php", "<?php declare(strict_types=1);\n  $d = 4; // c\n"},
        {"linea.php", "<?php\n  echo __LINE__; // c\n"},
        {"vacio.php", ""},
        {"largo.php", "<?php\n" + std::string(100000, ' ') + "$e = 5;\n"},
    };
    for (const auto& [nombre, bytes] : fuentes) {
        escribe_fichero(origen / nombre, bytes);
        pon_tiempo(origen / nombre, 1500000000);
    }
    const std::vector<std::string> con_aviso = {"--aviso=aviso.txt", "origen", "destino"};
    ASSERT_EQ(0, arbol(escena.ruta(), con_aviso).estado);
    for (const auto& fuente : fuentes) {
        pon_tiempo(origen / fuente.first, 1600000000);
    }
    const auto antes = huellas(escena / "destino");
    const resultado r = arbol(escena.ruta(), {"--suma", "--aviso=aviso.txt", "origen", "destino"});
    EXPECT_NE(std::string::npos, r.salida.find("al dia 7, fallidos 0")) << r.salida;
    const auto despues = huellas(escena / "destino");
    for (const auto& fuente : fuentes) {
        espera_no_reescrito(antes, despues, fuente.first);
    }
    igual_que_nueva(escena.ruta(), {"--aviso=aviso.txt"}, "origen", "destino");
}

// --suma compares the destination's bytes too: a file edited in place, its
// size and time kept (its record with it), is written again.
TEST(Arbol, SumaVeUnDestinoEditado) {
    const carpeta_temporal escena;
    if (!guarda_atributos(escena.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    const fs::path origen = escena / "origen";
    const fs::path destino = escena / "destino";
    fs::create_directories(origen);
    escribe_fichero(origen / "a.php", "<?php\n  $a = 1; // comentario\n");
    escribe_fichero(origen / "b.txt", "texto b");
    ASSERT_EQ(0, arbol_kexo(escena.ruta(), {"origen", "destino"}).estado);
    for (const char* nombre : {"a.php", "b.txt"}) {
        const fs::path copia = destino / nombre;
        struct stat antes {};
        ASSERT_EQ(0, stat(copia.c_str(), &antes));
        // The same number of bytes, written over the old ones, the time put back.
        const std::string otros(static_cast<std::size_t>(antes.st_size), 'X');
        const int fd = open(copia.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(otros.size()), write(fd, otros.data(), otros.size()));
        close(fd);
        const struct timespec tiempos[2] = {antes.st_atim, antes.st_mtim};
        ASSERT_EQ(0, utimensat(AT_FDCWD, copia.c_str(), tiempos, 0));
    }
    const resultado r = arbol_kexo(escena.ruta(), {"--suma", "origen", "destino"});
    termina_con(r,
                "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, fallidos 0");
    igual_que_nueva(escena.ruta(), {"--modo=kexo"}, "origen", "destino");
}

// A record holds for the file it was put on, under its name: a file moved
// to another name, or a record copied onto another file of the same size and
// time, only makes it written again.
TEST(Arbol, MarcaDeOtroFicheroNoVale) {
    const carpeta_temporal escena;
    if (!guarda_atributos(escena.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    const fs::path origen = escena / "origen";
    const fs::path destino = escena / "destino";
    fs::create_directories(origen);
    // The same size and time in the source, and so in the destination.
    escribe_fichero(origen / "a.php", "<?php\n  $a = 1; // aa\n");
    escribe_fichero(origen / "b.php", "<?php\n  $b = 2; // bb\n");
    escribe_fichero(origen / "c.txt", "texto c");
    escribe_fichero(origen / "d.txt", "texto d");
    for (const char* nombre : {"a.php", "b.php", "c.txt", "d.txt"}) {
        pon_tiempo(origen / nombre, 1500000000);
    }
    ASSERT_EQ(0, arbol_kexo(escena.ruta(), {"origen", "destino"}).estado);
    // Two files swapped, their records with them.
    fs::rename(destino / "a.php", destino / "t");
    fs::rename(destino / "b.php", destino / "a.php");
    fs::rename(destino / "t", destino / "b.php");
    // Another file's bytes and record, with its time, where c.txt was.
    fs::remove(destino / "c.txt");
    fs::copy_file(destino / "d.txt", destino / "c.txt");
    char valor[512];
    const ssize_t n = getxattr((destino / "d.txt").c_str(), "user.kexo", valor, sizeof valor);
    ASSERT_GT(n, 0);
    ASSERT_EQ(0, setxattr((destino / "c.txt").c_str(), "user.kexo", valor,
                          static_cast<std::size_t>(n), 0));
    pon_tiempo(destino / "c.txt", 1500000000);
    const resultado r = arbol_kexo(escena.ruta(), {"origen", "destino"});
    termina_con(r,
                "Compactados 2 (0 por las reglas de PHP), sin compactar 0, copiados 1, al dia 1, "
                "fallidos 0");
    igual_que_nueva(escena.ruta(), {"--modo=kexo"}, "origen", "destino");
}

// Two names of one file replaced in the source by another file, at once or
// one name after the other: each run reports for each name what it wrote or
// linked (a dry run first, the same), leaves them one file with the new
// bytes, as a fresh run does, and the next run finds both up to date.
TEST(Arbol, NombresDeUnFicheroReemplazado) {
    // One change to the source, and what the run after it does to each name.
    struct paso {
        std::function<void(const fs::path&)> cambia;
        const char* accion_a;
        const char* accion_b;
    };
    const auto nuevo = [](const fs::path& origen, const char* nombre, const char* php) {
        escribe_fichero(origen / "n", php);
        fs::rename(origen / "n", origen / nombre);
    };
    const auto enlaza = [](const fs::path& origen, const char* de, const char* a) {
        fs::remove(origen / a);
        fs::create_hard_link(origen / de, origen / a);
    };
    const struct {
        const char* caso;
        std::vector<paso> pasos;
    } casos[] = {
        {"a new file linked to both names",
         {{[&](const fs::path& o) {
               nuevo(o, "n2", "<?php $bb = 22; // c\n");
               enlaza(o, "n2", "a.php");
               enlaza(o, "n2", "b.php");
               fs::remove(o / "n2");
           },
           "compactado_kexo", "compactado_kexo"}}},
        {"the first name replaced, then the second linked to it",
         {{[&](const fs::path& o) { nuevo(o, "a.php", "<?php $bb = 22; // c\n"); },
           "compactado_kexo", "compactado_kexo"},
          {[&](const fs::path& o) { enlaza(o, "a.php", "b.php"); }, "al_dia", "compactado_kexo"}}},
        {"the second name replaced, then the first linked to it",
         {{[&](const fs::path& o) { nuevo(o, "b.php", "<?php $bb = 22; // c\n"); }, "al_dia",
           "compactado_kexo"},
          {[&](const fs::path& o) { enlaza(o, "b.php", "a.php"); }, "compactado_kexo",
           "compactado_kexo"}}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.caso);
        const carpeta_temporal escena;
        if (!guarda_atributos(escena.ruta())) {
            GTEST_SKIP() << "this file system keeps no extended attributes";
        }
        const fs::path origen = escena / "origen";
        const fs::path destino = escena / "destino";
        fs::create_directories(origen);
        escribe_fichero(origen / "a.php", "<?php $a = 1; // c\n");
        fs::create_hard_link(origen / "a.php", origen / "b.php");
        ASSERT_EQ(0, arbol_kexo(escena.ruta(), {"origen", "destino"}).estado);
        const auto accion = [](const std::string& salida, const char* nombre) {
            const std::string linea = std::string("{\"ruta\":\"") + nombre + "\",\"accion\":\"";
            const std::size_t en = salida.find(linea);
            return en == std::string::npos
                       ? std::string("(none)")
                       : salida.substr(en + linea.size(),
                                       salida.find('"', en + linea.size()) - en - linea.size());
        };
        for (const paso& p : c.pasos) {
            p.cambia(origen);
            for (const char* opcion : {"-n", "-j2"}) {
                SCOPED_TRACE(opcion);
                const resultado r =
                    arbol_kexo(escena.ruta(), {opcion, "--informe=json", "origen", "destino"});
                EXPECT_EQ(0, r.estado) << r.salida;
                EXPECT_EQ(p.accion_a, accion(r.salida, "a.php")) << r.salida;
                EXPECT_EQ(p.accion_b, accion(r.salida, "b.php")) << r.salida;
            }
            // One file again where the source is one.
            EXPECT_EQ(estado_de(origen / "a.php").st_ino == estado_de(origen / "b.php").st_ino,
                      estado_de(destino / "a.php").st_ino == estado_de(destino / "b.php").st_ino);
            igual_que_nueva(escena.ruta(), {"--modo=kexo"}, "origen", "destino");
            const resultado otra =
                arbol_kexo(escena.ruta(), {"--informe=json", "origen", "destino"});
            EXPECT_EQ("al_dia", accion(otra.salida, "a.php")) << otra.salida;
            EXPECT_EQ("al_dia", accion(otra.salida, "b.php")) << otra.salida;
        }
        EXPECT_EQ(estado_de(destino / "a.php").st_ino, estado_de(destino / "b.php").st_ino);
        EXPECT_EQ("<?php $bb = 22; ", lee_fichero(destino / "b.php").substr(0, 16));
    }
}

// A copy's time is its original's as its file system keeps it: the same, or
// on one that keeps whole seconds, the original less its fraction.
TEST(Arbol, TiempoComoLoGuardaElDestino) {
    constexpr std::int64_t kS = 1000000000;
    const struct {
        std::int64_t original;
        std::int64_t copia;
        bool mismo;
    } casos[] = {
        {10 * kS + 123456789, 10 * kS + 123456789, true},
        {10 * kS + 123456789, 10 * kS, true},  // the fraction dropped
        {10 * kS + 999999999, 10 * kS, true},
        {10 * kS, 10 * kS, true},
        {10 * kS + 123456789, 11 * kS, false},  // rounded up, not dropped
        {10 * kS + 123456789, 9 * kS, false},
        {10 * kS + 123456789, 10 * kS + 123456788, false},  // a fraction of its own
        {10 * kS + 123456789, 10 * kS + 100000000, false},
        {10 * kS, 10 * kS + 5, false},
        {10 * kS, 9 * kS, false},
        {-kS - 500000000, -2 * kS, true},  // before 1970: the second it starts in
        {-kS - 500000000, -kS, false},
        {INT64_MAX, INT64_MAX - INT64_MAX % kS, true},  // the ends, without overflowing
        {INT64_MIN, INT64_MIN, true},
        {INT64_MIN, 0, false},
        {INT64_MIN + 1, INT64_MIN, false},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.mismo, mismo_tiempo(c.original, c.copia)) << c.original << " " << c.copia;
    }
}

// The content sum: the same bytes give the same sum however they come in
// pieces; one bit changed anywhere changes it.
TEST(Estado, SumaEnTrozos) {
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        bytes += static_cast<char>(i * 37 + 11);
    }
    for (std::size_t largo : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 64u, 100u, 300u}) {
        const std::string_view todo = std::string_view(bytes).substr(0, largo);
        const std::uint64_t entera = suma_de(todo);
        for (std::size_t trozo : {1u, 3u, 8u, 13u, 32u, 40u}) {
            sumador s;
            for (std::size_t i = 0; i < largo; i += trozo) {
                s.anade(todo.substr(i, trozo));
            }
            EXPECT_EQ(entera, s.concluye()) << largo << " in pieces of " << trozo;
        }
        for (std::size_t i = 0; i < largo; ++i) {
            std::string otro(todo);
            otro[i] = static_cast<char>(otro[i] ^ 4);
            EXPECT_NE(entera, suma_de(otro)) << largo << ", byte " << i;
        }
        EXPECT_NE(entera, suma_de(std::string(todo) + '\0')) << largo;
    }
}

bool mismo_nodo_marcado(const nodo& a, const nodo& b) {
    return a.tamano == b.tamano && a.tiempo == b.tiempo && a.modo == b.modo && a.dueno == b.dueno &&
           a.grupo == b.grupo;
}

bool mismas_marcas(const marca_fichero& a, const marca_fichero& b) {
    return a.clave == b.clave && mismo_nodo_marcado(a.origen, b.origen) &&
           mismo_nodo_marcado(a.escrito, b.escrito) && a.escrito.numero == b.escrito.numero &&
           a.tipo == b.tipo && a.suma == b.suma && a.suma_escrita == b.suma_escrita &&
           a.resultado == b.resultado && a.motivo == b.motivo && a.linea == b.linea;
}

// `cuerpo` ended as a record is, with the low 4 bytes of its sum: what is
// wrong inside it is then for the reader to find.
std::string sellada(std::string cuerpo) {
    const std::uint64_t suma = suma_de(cuerpo);
    for (int i = 0; i < 4; ++i) {
        cuerpo += static_cast<char>((suma >> (8 * i)) & 0xff);
    }
    return cuerpo;
}

// A record reads back as written, at any value of each field; no part of it
// does, nor one with a byte changed anywhere or one more.
TEST(Estado, MarcaIdaYVuelta) {
    marca_fichero corriente;  // a PHP file compacted, as a run records it
    corriente.clave = 0x0123456789abcdefu;
    corriente.origen = {clase_nodo::fichero, 0, 0, 1, 206648, 1593862023123456789, 0644, 1000, 100};
    corriente.escrito = corriente.origen;
    corriente.escrito.tamano = 125286;
    corriente.escrito.numero = 0x12345678;
    corriente.tipo = tipo_suma::suma;
    corriente.suma = 0xfedcba9876543210u;
    corriente.suma_escrita = 0x0badc0ffee15900du;
    struct fila {
        const char* caso;
        std::function<void(marca_fichero&)> cambia;
    };
    const std::vector<fila> filas = {
        {"ordinary", [](marca_fichero&) {}},
        {"copied, no sums, no owners",
         [](marca_fichero& m) {
             m.tipo = tipo_suma::copia;
             m.suma = m.suma_escrita = 0;
             m.origen.dueno = m.origen.grupo = m.escrito.dueno = m.escrito.grupo = -1;
         }},
        {"content not known", [](marca_fichero& m) { m.tipo = tipo_suma::ninguna; }},
        {"left as it was, at a line",
         [](marca_fichero& m) {
             m.resultado = 3;
             m.motivo = 2;
             m.linea = 123456;
         }},
        {"largest",
         [](marca_fichero& m) {
             m.clave = m.suma = m.suma_escrita = m.escrito.numero = UINT64_MAX;
             for (nodo* n : {&m.origen, &m.escrito}) {
                 n->tamano = n->tiempo = n->dueno = n->grupo = INT64_MAX;
                 n->modo = UINT32_MAX;
             }
             m.resultado = m.motivo = UINT32_MAX;
             m.linea = INT64_MAX;
         }},
        {"smallest",
         [](marca_fichero& m) {
             m.clave = m.suma = m.suma_escrita = m.escrito.numero = 0;
             for (nodo* n : {&m.origen, &m.escrito}) {
                 n->tamano = n->tiempo = n->dueno = n->grupo = INT64_MIN;
                 n->modo = 0;
             }
             m.resultado = m.motivo = 0;
             m.linea = INT64_MIN;
         }},
        {"written far from its source",  // each difference at its widest
         [](marca_fichero& m) {
             m.origen.tiempo = m.origen.dueno = m.origen.grupo = INT64_MIN;
             m.escrito.tiempo = m.escrito.dueno = m.escrito.grupo = INT64_MAX;
             m.origen.modo = UINT32_MAX;
             m.escrito.modo = 0;
         }},
        {"times before 1970",
         [](marca_fichero& m) {
             m.origen.tiempo = -1;
             m.escrito.tiempo = -86400000000000;
         }},
    };
    for (const fila& f : filas) {
        SCOPED_TRACE(f.caso);
        marca_fichero m = corriente;
        f.cambia(m);
        const std::string bytes = escribe_marca(m);
        marca_fichero leida;
        ASSERT_TRUE(lee_marca(bytes, leida));
        EXPECT_TRUE(mismas_marcas(m, leida));
        EXPECT_EQ(bytes, escribe_marca(leida));
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            EXPECT_FALSE(lee_marca(bytes.substr(0, n), leida)) << "cut at " << n;
            for (const int bits : {0x01, 0x80, 0xff}) {
                std::string otra = bytes;
                otra[n] = static_cast<char>(otra[n] ^ bits);
                EXPECT_FALSE(lee_marca(otra, leida)) << "byte " << n << " ^ " << bits;
            }
        }
        EXPECT_FALSE(lee_marca(bytes + '\0', leida));
        // Another version, its check made right, does not read either.
        const std::string cuerpo = bytes.substr(0, bytes.size() - 4);
        ASSERT_EQ(bytes, sellada(cuerpo));
        for (int version = 0; version < 256; ++version) {
            std::string otra = cuerpo;
            otra[0] = static_cast<char>(version);
            EXPECT_EQ(otra == cuerpo, lee_marca(sellada(otra), leida)) << version;
        }
    }
    // An ordinary file's record stays inside the inode of ext4 (256 bytes,
    // room for a value of 68 beside the name) and XFS.
    EXPECT_LE(escribe_marca(corriente).size(), 68u);
}

// Well-sealed bytes that are no record: fields past the end, numbers longer
// than their shortest form or than their field, unknown flags.
TEST(Estado, MarcaMalFormada) {
    const std::string v(1, '\x04');
    const std::string clave(8, '\x11');
    const std::string tiempo(8, '\x22');
    // Source: size, time, bits, owner, group; written: size, and four differences.
    const std::string escrito("\x02\x00\x00\x00\x00", 5);
    const std::string nodos = "\x02" + tiempo + "\x01\x02\x03" + escrito;
    const std::string numero = "\x05";
    const std::string cola = "\x01\x02\x04";  // result, cause, line
    struct fila {
        const char* caso;
        std::string cuerpo;
        bool lee;
    };
    const std::vector<fila> filas = {
        {"well formed", v + clave + nodos + numero + std::string(1, '\x00') + cola, true},
        {"with both sums", v + clave + nodos + numero + "\x0d" + tiempo + tiempo + cola, true},
        {"empty", v, false},
        {"flag unknown", v + clave + nodos + numero + "\x10" + cola, false},
        {"way of summing unknown", v + clave + nodos + numero + "\x03" + cola, false},
        {"a sum flagged, 0", v + clave + nodos + numero + "\x04" + std::string(8, '\0') + cola,
         false},
        {"a sum flagged, missing", v + clave + nodos + numero + "\x04" + cola, false},
        {"number in a longer form", v + clave + nodos + std::string("\x85\x00\x00", 3) + cola,
         false},
        {"number past 64 bits",
         v + clave + nodos + std::string(9, '\xff') + "\x02" + std::string(1, '\x00') + cola,
         false},
        {"number never ending", v + clave + nodos + std::string(40, '\xff'), false},
        {"result past 32 bits",
         v + clave + nodos + numero + std::string(1, '\x00') + "\x80\x80\x80\x80\x10\x02\x04",
         false},
        {"bits past 32 bits",
         v + clave + "\x02" + tiempo + "\x80\x80\x80\x80\x10\x02\x03" + escrito + numero +
             std::string(1, '\x00') + cola,
         false},
        {"bits written past 32 bits",
         v + clave + "\x02" + tiempo + "\x01\x02\x03" + std::string("\x02\x00\x03\x00\x00", 5) +
             numero + std::string(1, '\x00') + cola,
         false},
    };
    for (const fila& f : filas) {
        marca_fichero leida;
        EXPECT_EQ(f.lee, lee_marca(sellada(f.cuerpo), leida)) << f.caso;
    }
}

// A file is up to date only when the options, its source's size, time, bits
// and owner, and the file itself as written, all agree with its record.
TEST(Estado, Vigencia) {
    marca_fichero m;
    m.clave = 7;
    m.origen = {clase_nodo::fichero, 1, 2, 1, 100, 5000, 0644, 1000, 100};
    m.escrito = {clase_nodo::fichero, 1, 3, 1, 80, 5000, 0644, 1000, 100};
    struct fila {
        const char* caso;
        std::function<void(std::uint64_t&, nodo&, nodo&)> cambia;
        vigencia esperada;
    };
    const std::vector<fila> filas = {
        {"all agree", [](std::uint64_t&, nodo&, nodo&) {}, vigencia::al_dia},
        {"other options", [](std::uint64_t& c, nodo&, nodo&) { c = 8; }, vigencia::vieja},
        {"source time", [](std::uint64_t&, nodo& o, nodo&) { o.tiempo = 5001; },
         vigencia::por_contenido},
        {"source size", [](std::uint64_t&, nodo& o, nodo&) { o.tamano = 101; }, vigencia::vieja},
        {"source bits", [](std::uint64_t&, nodo& o, nodo&) { o.modo = 0600; }, vigencia::vieja},
        {"source owner", [](std::uint64_t&, nodo& o, nodo&) { o.dueno = 0; }, vigencia::vieja},
        {"source group", [](std::uint64_t&, nodo& o, nodo&) { o.grupo = 0; }, vigencia::vieja},
        {"copy size", [](std::uint64_t&, nodo&, nodo& d) { d.tamano = 81; }, vigencia::vieja},
        {"copy time", [](std::uint64_t&, nodo&, nodo& d) { d.tiempo = 4999; }, vigencia::vieja},
        {"copy bits", [](std::uint64_t&, nodo&, nodo& d) { d.modo = 0755; }, vigencia::vieja},
        {"copy owner", [](std::uint64_t&, nodo&, nodo& d) { d.dueno = 0; }, vigencia::vieja},
        {"another file with its record", [](std::uint64_t&, nodo&, nodo& d) { d.numero = 4; },
         vigencia::vieja},
        {"copy a link", [](std::uint64_t&, nodo&, nodo& d) { d.clase = clase_nodo::enlace; },
         vigencia::vieja},
        {"copy a folder", [](std::uint64_t&, nodo&, nodo& d) { d.clase = clase_nodo::carpeta; },
         vigencia::vieja},
    };
    for (const fila& f : filas) {
        std::uint64_t clave = m.clave;
        nodo origen = m.origen;
        nodo destino = m.escrito;
        f.cambia(clave, origen, destino);
        EXPECT_EQ(f.esperada, vigencia_de(m, clave, origen, destino)) << f.caso;
    }
}

// The key changes with each option that changes output, and with nothing else.
TEST(Estado, Clave) {
    opciones_salida base;
    base.version = "1.0";
    base.modo = "kexo";
    base.extensiones = {"php", "inc"};
    base.aviso = "Hecho por X";
    const std::uint64_t clave = clave_de(base);
    opciones_salida igual = base;
    igual.extensiones = {"INC", "php"};
    EXPECT_EQ(clave, clave_de(igual));
    const std::vector<std::function<void(opciones_salida&)>> cambios = {
        [](opciones_salida& o) { o.version = "1.1"; },
        [](opciones_salida& o) { o.modo = "php"; },
        [](opciones_salida& o) { o.comprueba = false; },
        [](opciones_salida& o) { o.extensiones = {"php"}; },
        [](opciones_salida& o) { o.aviso = "Hecho por Y"; },
        [](opciones_salida& o) { o.aviso.clear(); },
        [](opciones_salida& o) { o.sin_compactar = {"vendor/"}; },
        // Parts that would join into the same bytes.
        [](opciones_salida& o) { o.extensiones = {"phpinc"}; },
    };
    for (std::size_t i = 0; i < cambios.size(); ++i) {
        opciones_salida otra = base;
        cambios[i](otra);
        EXPECT_NE(clave, clave_de(otra)) << i;
    }
}

// A PHP file left as it was stays reported so when a run leaves it alone:
// --estricto exits with 3 on every run, and the report says why.
TEST(Arbol, EstrictoTambienSinReescribir) {
    const carpeta_temporal escena;
    if (!guarda_atributos(escena.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    fs::create_directories(escena / "origen");
    // A notice that no /* */ comment can hold leaves PHP's rules out.
    fs::create_directories(escena / "aviso");
    escribe_fichero(escena / "aviso/kexo.ini", "Hecho */ por X\n");
    const std::vector<std::string> entorno = {"PHPRC=" + (escena / "aviso").string()};
    escribe_fichero(escena / "origen/b.php", "<?php\r\n$t = <<<EOT\r\n  uno // dos\r\nEOT;\r\n");
    escribe_fichero(escena / "origen/a.php", "<?php\n  $a = 1; // c\n");
    const std::vector<std::string> args = {"--modo=kexo", "--estricto", "origen", "destino"};
    const resultado primera = arbol_con(escena.ruta(), args, entorno);
    EXPECT_EQ(3, primera.estado);
    const std::string motivo = "Sin compactar b.php: cambiaria el programa en la linea 2\n";
    EXPECT_EQ(0u, primera.salida.find(motivo)) << primera.salida;
    const resultado segunda = arbol_con(escena.ruta(), args, entorno);
    EXPECT_EQ(3, segunda.estado);
    EXPECT_EQ(0u, segunda.salida.find(motivo)) << segunda.salida;
    EXPECT_NE(std::string::npos, segunda.salida.find("al dia 2")) << segunda.salida;
    const resultado json =
        arbol_con(escena.ruta(),
                  {"--modo=kexo", "--estricto", "--informe=json", "origen", "destino"}, entorno);
    EXPECT_EQ(3, json.estado);
    EXPECT_NE(std::string::npos,
              json.salida.find("{\"ruta\":\"b.php\",\"accion\":\"al_dia\",\"motivo\":"
                               "\"programa\",\"linea\":2,\"antes\":40,\"despues\":40}"))
        << json.salida;
    // Once it compacts, the run that writes it exits with 0, as do the next ones.
    escribe_fichero(escena / "origen/b.php", "<?php\n$t = 1; // dos\n");
    EXPECT_EQ(0, arbol_con(escena.ruta(), args, entorno).estado);
    EXPECT_EQ(0, arbol_con(escena.ruta(), args, entorno).estado);
}

}  // namespace
}  // namespace kexo
