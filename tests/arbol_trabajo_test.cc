// kexo-arbol's work on each entry, end to end on generated trees: options,
// bits, owners and times, links and hard links, holes, the report.
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

// Bad usage names the option that is wrong, prints the usage, exits with 1
// and writes nothing.
TEST(Arbol, OpcionesMal) {
    const struct {
        std::vector<std::string> argumentos;
        const char* primera;  // the first line on standard error, the usage after it but
                              // where a file an option names could not be read
    } casos[] = {
        {{"-j", "0", "origen", "destino"}, "kexo-arbol: -j: se espera un numero de 1 a 256"},
        {{"--hilos=4x", "origen", "destino"},
         "kexo-arbol: --hilos: se espera un numero de 1 a 256"},
        {{"origen", "destino", "--hilos"}, "kexo-arbol: --hilos: falta su valor"},
        {{"-sj"}, "kexo-arbol: -j: falta su valor"},
        {{"-q", "origen", "destino"}, "kexo-arbol: -q: opcion desconocida"},
        {{"--simula", "-nq", "origen", "destino"}, "kexo-arbol: -q: opcion desconocida"},
        {{"--frob=1", "origen", "destino"}, "kexo-arbol: --frob: opcion desconocida"},
        {{"--simula=si", "origen", "destino"}, "kexo-arbol: --simula: no admite valor"},
        {{"--vers=1", "origen", "destino"}, "kexo-arbol: --vers: no admite valor"},
        {{"--informe=xml", "origen", "destino"}, "kexo-arbol: --informe: se espera texto o json"},
        {{"--modo=c", "origen", "destino"}, "kexo-arbol: --modo: se espera kexo o php"},
        {{"-e", ",.", "origen", "destino"}, "kexo-arbol: -e: se espera una lista de extensiones"},
        {{"-e", "php,", "origen", "destino"}, "kexo-arbol: -e: se espera una lista de extensiones"},
        {{"-e", "php, ,inc", "origen", "destino"},
         "kexo-arbol: -e: se espera una lista de extensiones"},
        {{"-x", "", "origen", "destino"}, "kexo-arbol: -x: se espera un patron"},
        {{"--sin-compactar=", "origen", "destino"},
         "kexo-arbol: --sin-compactar: se espera un patron"},
        {{"--excluye-desde=falta.txt", "origen", "destino"},
         "kexo-arbol: --excluye-desde: imposible leer falta.txt: No existe el fichero o el "
         "directorio (2)"},
        {{"--excluye-desde=origen", "origen", "destino"},
         "kexo-arbol: --excluye-desde: imposible leer origen: Es un directorio (21)"},
        {{"--aviso=falta.ini", "origen", "destino"},
         "kexo-arbol: --aviso: imposible leer falta.ini: No existe el fichero o el directorio (2)"},
        {{"--aviso", "origen", "origen", "destino"},
         "kexo-arbol: --aviso: imposible leer origen: no es un fichero regular"},
        {{}, "kexo-arbol: faltan <origen> y <destino>"},
        {{"origen"}, "kexo-arbol: falta <destino>"},
        {{"origen", "destino", "otro"}, "kexo-arbol: sobra otro"},
        {{"", "destino"}, "kexo-arbol: <origen> vacio"},
    };
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen");
    escribe_fichero(escena / "origen/a.php", "<?php $a = 1;");
    for (const auto& c : casos) {
        SCOPED_TRACE(c.primera);
        const resultado r = arbol(escena.ruta(), c.argumentos);
        EXPECT_EQ(1, r.estado);
        const bool de_uso = std::string(c.primera).find("imposible leer") == std::string::npos;
        EXPECT_EQ("", r.salida);
        EXPECT_EQ(0u, r.errores.rfind(std::string(c.primera) + "\n", 0)) << r.errores;
        EXPECT_EQ(de_uso, r.errores.find("\nUso:    kexo-arbol ") != std::string::npos)
            << r.errores;
        EXPECT_FALSE(fs::exists(escena / "destino"));
    }
}

TEST_F(ArbolGenerado, IgualConCualquierNumeroDeHilos) {
    const resultado uno = arbol_kexo(escena_.ruta(), {"-j", "1", "origen", "uno"});
    const resultado cuatro = arbol_kexo(escena_.ruta(), {"-j4", "origen", "cuatro"});
    EXPECT_EQ(0, uno.estado);
    EXPECT_EQ(uno.salida, cuatro.salida);
    EXPECT_EQ(contenido(escena_ / "uno"), contenido(escena_ / "cuatro"));
    EXPECT_NE(std::string::npos,
              uno.salida.find("Omitido d1/tubo.php: no es un fichero regular\n"));
    EXPECT_NE(std::string::npos,
              uno.salida.find(
                  "Compactados 120 (60 por las reglas de PHP), sin compactar 0, copiados 60"));
    // Links are recreated, not followed; bits and times are kept.
    EXPECT_EQ("0/0.php", fs::read_symlink(escena_ / "uno/d0/enlace.php"));
    EXPECT_EQ("/etc/passwd", fs::read_symlink(escena_ / "uno/d0/fuera"));
    EXPECT_EQ(fs::perms(0600), fs::status(escena_ / "uno/d1/1/1.php").permissions());
    EXPECT_EQ(fs::perms(0755), fs::status(escena_ / "uno/d0/0/0.php").permissions());
    EXPECT_EQ(fs::last_write_time(origen_ / "d0/0/0.php"),
              fs::last_write_time(escena_ / "uno/d0/0/0.php"));
    EXPECT_EQ("<?php $a = 0;", lee_fichero(escena_ / "uno/d0/0/0.php"));
    // A second run over the mirror replaces what was changed there, and only that.
    escribe_fichero(escena_ / "uno/d0/0/0.php", "viejo");
    EXPECT_NE(std::string::npos,
              arbol_kexo(escena_.ruta(), {"origen", "uno"})
                  .salida.find("Compactados 1 (0 por las reglas de PHP), sin compactar 0, "
                               "copiados 0, al dia 179, fallidos 0"));
    EXPECT_EQ(contenido(escena_ / "uno"), contenido(escena_ / "cuatro"));
}

// The split of a run's time: every phase named once, with its time, after
// the same report and the same tree as without it; in JSON, one last line.
TEST_F(ArbolGenerado, TiemposPorFase) {
    const resultado sin = arbol(escena_.ruta(), {"-j2", "origen", "sin"});
    const resultado con = arbol(escena_.ruta(), {"-j2", "--tiempos", "origen", "con"});
    EXPECT_EQ(0, con.estado);
    EXPECT_EQ(contenido(escena_ / "sin"), contenido(escena_ / "con"));
    ASSERT_EQ(0U, con.salida.find(sin.salida)) << con.salida;
    const std::string tiempos = con.salida.substr(sin.salida.size());
    EXPECT_EQ(0U, tiempos.find("Tiempos: ")) << tiempos;
    EXPECT_NE(std::string::npos, tiempos.find(" 2 hilos")) << tiempos;
    double suma = 0;
    for (const char* fase : {"recorrido", "carpetas", "lectura", "compactacion", "comprobacion",
                             "escritura", "copia", "atributos", "renombrado"}) {
        const std::size_t donde = tiempos.find(std::string("\n  ") + fase + " ");
        ASSERT_NE(std::string::npos, donde) << fase << "\n" << tiempos;
        const double segundos = std::stod(tiempos.substr(donde + 3 + std::strlen(fase)));
        EXPECT_GE(segundos, 0.0) << fase;
        suma += segundos;
    }
    // PHP files were read, compacted and checked, and written: time went there.
    EXPECT_GT(suma, 0.0) << tiempos;
    const resultado json = arbol(escena_.ruta(), {"--informe=json", "--tiempos", "origen", "json"});
    const std::size_t ultima = json.salida.rfind('\n', json.salida.size() - 2);
    const std::string linea = json.salida.substr(ultima + 1);
    EXPECT_EQ(0U, linea.find("{\"tiempos\":{\"total\":")) << linea;
    EXPECT_NE(std::string::npos, linea.find(",\"comprobacion\":")) << linea;
    EXPECT_EQ("}}\n", linea.substr(linea.size() - 3)) << linea;
}

// -v lists every entry once, in path order, a folder that could not be read
// among them, before the report's own lines.
TEST(Arbol, DetalleConFallos) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run kexo-arbol as another user";
    }
    const carpeta_temporal escena;
    fs::permissions(escena.ruta(), fs::perms(0777));
    fs::create_directories(escena / "origen/a");
    fs::create_directories(escena / "origen/b");
    escribe_fichero(escena / "origen/a/x.txt", "x");
    escribe_fichero(escena / "origen/b/y.php", "<?php $a = 1; // c");
    escribe_fichero(escena / "origen/b/z.txt", "z");
    fs::permissions(escena / "origen/a", fs::perms(0));
    const resultado r = arbol_kexo(escena.ruta(), {"-v", "origen", "destino"}, {0, 65534},
                                   copia_para_todos(KEXO_BINARIO_ARBOL, escena.ruta()));
    EXPECT_EQ(2, r.estado);
    EXPECT_EQ(0u, r.salida.rfind("!d a\n+d b\nkf b/y.php\ncf b/z.txt\nImposible leer carpeta a: "
                                 "Permiso denegado (13)\n",
                                 0))
        << r.salida;
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
    EXPECT_NE(std::string::npos, r.salida.find(" paradas\nElegida: ")) << r.salida;
    const resultado forzada = ejecuta(orden_de(KEXO_BINARIO_ARBOL, {"--version"}),
                                      entorno_sin_phprc({"KEXO_VIA=paradas"}), escena.ruta());
    EXPECT_NE(std::string::npos, forzada.salida.find("\nElegida: paradas\n")) << forzada.salida;
}

// Owners and setuid and setgid bits as `cp -a` keeps them: as root, the
// owner's; as another user, the bits only where the owner and group are kept.
TEST(Arbol, DuenosYBitsEspeciales) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to own files as another user";
    }
    constexpr uid_t kNadie = 65534;
    const struct {
        uid_t quien, dueno;  // who runs kexo-arbol, who owns the source
        mode_t modo;
        bool carpeta;
        uid_t dueno_copia;
        mode_t modo_copia;
    } casos[] = {
        {0, kNadie, 04755, false, kNadie, 04755},       // setuid to nobody stays so, not to root
        {0, kNadie, 02775, true, kNadie, 02775},        // and a setgid folder
        {kNadie, 0, 04755, false, kNadie, 0755},        // never setuid to another user
        {kNadie, 0, 02755, false, kNadie, 0755},        // nor setgid to another group
        {kNadie, 0, 03775, true, kNadie, 01775},        // a folder keeps its sticky bit only
        {kNadie, kNadie, 06755, false, kNadie, 06755},  // its own owner and group: kept
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(std::to_string(c.quien) + " " + std::to_string(c.dueno) + " " +
                     std::to_string(c.modo));
        const carpeta_temporal escena;
        fs::permissions(escena.ruta(), fs::perms(0777));
        const fs::path entrada = escena / "origen" / "x";
        fs::create_directories(escena / "origen");
        if (c.carpeta) {
            fs::create_directory(entrada);
        } else {
            escribe_fichero(entrada, "#!/bin/sh\n");
        }
        ASSERT_EQ(0, chown(entrada.c_str(), c.dueno, c.dueno));
        ASSERT_EQ(0, chmod(entrada.c_str(), c.modo));
        const resultado r = arbol(escena.ruta(), {"origen", "destino"}, {0, c.quien},
                                  copia_para_todos(KEXO_BINARIO_ARBOL, escena.ruta()));
        EXPECT_EQ(0, r.estado) << r.salida;
        EXPECT_EQ(std::make_pair(c.dueno_copia, c.modo_copia), dueno_y_modo(escena / "destino/x"));
    }
}

// The destination's root gets the source root's bits, times and, as root,
// owner, as every other folder: when made, and over an existing one; a dry run
// leaves it alone.
TEST(Arbol, RaizComoLasDemasCarpetas) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "sub");
    escribe_fichero(origen / "sub/a.php", "<?php $a = 1;");
    const auto hace_tiempo = fs::file_time_type(std::chrono::hours(24 * 365 * 30));
    const bool root = geteuid() == 0;
    for (const fs::path& carpeta : {origen / "sub", origen}) {
        fs::permissions(carpeta, fs::perms(0750));
        fs::last_write_time(carpeta, hace_tiempo);
        if (root) {
            ASSERT_EQ(0, chown(carpeta.c_str(), 65534, 65534));
        }
    }
    const auto como_origen = [&](const fs::path& raiz) {
        for (const char* carpeta : {"", "sub"}) {
            SCOPED_TRACE(carpeta);
            EXPECT_EQ(fs::perms(0750), fs::status(raiz / carpeta).permissions());
            EXPECT_EQ(hace_tiempo, fs::last_write_time(raiz / carpeta));
            EXPECT_EQ(root ? 65534u : geteuid(), dueno_y_modo(raiz / carpeta).first);
        }
    };
    const resultado nueva = arbol(escena.ruta(), {"origen", "destino"});
    ASSERT_EQ(0, nueva.estado) << nueva.salida;
    como_origen(escena / "destino");

    fs::create_directory(escena / "existente");
    fs::permissions(escena / "existente", fs::perms(0777));
    const resultado simulada = arbol(escena.ruta(), {"-n", "origen", "existente"});
    ASSERT_EQ(0, simulada.estado) << simulada.salida;
    EXPECT_EQ(fs::perms(0777), fs::status(escena / "existente").permissions());
    const resultado existente = arbol(escena.ruta(), {"origen", "existente"});
    ASSERT_EQ(0, existente.estado) << existente.salida;
    como_origen(escena / "existente");
}

// The results that leave a file written: what a record names and what the
// other names of a hard link link to.
TEST(Trabajo, ResultadosQueDejanUnFichero) {
    const struct {
        resultado_trabajo resultado;
        bool escrito;
    } casos[] = {
        {resultado_trabajo::compactado, true},    {resultado_trabajo::compactado_php, true},
        {resultado_trabajo::sin_compactar, true}, {resultado_trabajo::demasiado_grande, true},
        {resultado_trabajo::copiado, true},       {resultado_trabajo::hecho, false},
        {resultado_trabajo::fallido, false},      {resultado_trabajo::cambiado, false},
        {resultado_trabajo::sin_memoria, false},  {resultado_trabajo::omitido, false},
        {resultado_trabajo::al_dia, false},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.escrito, es_fichero_escrito(c.resultado)) << static_cast<int>(c.resultado);
    }
}

// Hard links stay one file, compacted once, as with `cp -a`, run after run;
// a link keeps its times.
TEST(Arbol, EnlacesDurosYTiemposDeEnlaces) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "sub");
    escribe_fichero(origen / "a.php", "<?php $a = 1; // c");
    fs::create_hard_link(origen / "a.php", origen / "b.php");
    fs::create_hard_link(origen / "a.php", origen / "sub/e.php");
    escribe_fichero(origen / "c.txt", "texto");
    fs::create_hard_link(origen / "c.txt", origen / "d.txt");
    fs::create_symlink("a.php", origen / "l");
    const struct timespec antiguo[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (origen / "l").c_str(), antiguo, AT_SYMLINK_NOFOLLOW));
    for (int vez = 0; vez < 2; ++vez) {
        SCOPED_TRACE(vez);
        const resultado r = arbol_kexo(escena.ruta(), {"-j2", "origen", "destino"});
        EXPECT_EQ(0, r.estado) << r.salida;
        // The second run finds every name already linked as it should be.
        EXPECT_NE(std::string::npos,
                  r.salida.find(vez == 0 ? "Compactados 3 (0 por las reglas de PHP), sin "
                                           "compactar 0, copiados 2, fallidos 0"
                                         : "Compactados 0 (0 por las reglas de PHP), sin "
                                           "compactar 0, copiados 0, al dia 5, fallidos 0"))
            << r.salida;
        const struct stat a = estado_de(escena / "destino/a.php");
        const struct stat c = estado_de(escena / "destino/c.txt");
        EXPECT_EQ(3u, a.st_nlink);
        EXPECT_EQ(a.st_ino, estado_de(escena / "destino/b.php").st_ino);
        EXPECT_EQ(a.st_ino, estado_de(escena / "destino/sub/e.php").st_ino);
        EXPECT_EQ(c.st_ino, estado_de(escena / "destino/d.txt").st_ino);
        EXPECT_EQ("<?php $a = 1;", lee_fichero(escena / "destino/sub/e.php"));
        EXPECT_EQ(1000000000, estado_de(escena / "destino/l").st_mtim.tv_sec);
    }
    EXPECT_EQ((std::set<std::string>{"a.php", "b.php", "c.txt", "d.txt", "l", "sub"}),
              nombres_en(escena / "destino"));
    // A file written by PHP's rules is linked as one written by kexo's.
    const resultado php = arbol_kexo(escena.ruta(), {"--modo=php", "origen", "destino-php"});
    EXPECT_EQ(0, php.estado) << php.salida;
    const struct stat a = estado_de(escena / "destino-php/a.php");
    EXPECT_EQ(3u, a.st_nlink);
    EXPECT_EQ(a.st_ino, estado_de(escena / "destino-php/b.php").st_ino);
    EXPECT_EQ(a.st_ino, estado_de(escena / "destino-php/sub/e.php").st_ino);
}

// Every folder, nested, empty, read-only or holding only other names of a
// file elsewhere, ends with its source's bits and times, whichever worker
// writes its last entry: a folder finished before all it holds would take
// the time of a later write in it.
TEST(Arbol, CarpetasRematadasTrasTodoLoQueContienen) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    std::vector<fs::path> carpetas;
    for (int i = 0; i < 5; ++i) {
        for (int k = 0; k < 4; ++k) {
            const fs::path hondo = origen / ("r" + std::to_string(i)) / std::to_string(k) / "x";
            fs::create_directories(hondo / "vacia");
            for (int n = 0; n < 8; ++n) {
                escribe_fichero(hondo / (std::to_string(n) + ".php"), "<?php $a = 1; // c");
            }
            escribe_fichero(hondo.parent_path() / "b.txt", "b");
            carpetas.insert(carpetas.end(), {hondo.parent_path().parent_path(), hondo.parent_path(),
                                             hondo, hondo / "vacia"});
        }
    }
    // Only another name of a file written elsewhere, deep in the last folder.
    fs::create_directories(origen / "r4/3/x/enlaces");
    fs::create_hard_link(origen / "r0/0/x/0.php", origen / "r4/3/x/enlaces/otro.php");
    carpetas.push_back(origen / "r4/3/x/enlaces");
    std::sort(carpetas.begin(), carpetas.end());
    carpetas.erase(std::unique(carpetas.begin(), carpetas.end()), carpetas.end());
    // Deepest first: setting a folder's times changes none of its parent's.
    for (auto c = carpetas.rbegin(); c != carpetas.rend(); ++c) {
        fs::permissions(*c, c->filename() == "x" ? fs::perms(0555) : fs::perms(0750));
        fs::last_write_time(*c, fs::file_time_type(std::chrono::hours(24 * 365 * 20)));
    }
    for (const char* hilos : {"-j1", "-j2", "-j8"}) {
        SCOPED_TRACE(hilos);
        const resultado r = arbol(escena.ruta(), {hilos, "origen", "destino"});
        EXPECT_EQ(0, r.estado) << r.salida;
        for (const fs::path& c : carpetas) {
            const fs::path copia = escena / "destino" / fs::relative(c, origen);
            SCOPED_TRACE(copia.string());
            EXPECT_EQ(fs::status(c).permissions(), fs::status(copia).permissions());
            EXPECT_EQ(fs::last_write_time(c), fs::last_write_time(copia));
        }
        EXPECT_EQ(estado_de(escena / "destino/r0/0/x/0.php").st_ino,
                  estado_de(escena / "destino/r4/3/x/enlaces/otro.php").st_ino);
        // Writable again, to be removed.
        for (const fs::path& c : carpetas) {
            fs::permissions(escena / "destino" / fs::relative(c, origen), fs::perms(0755));
        }
        fs::remove_all(escena / "destino");
    }
    for (const fs::path& c : carpetas) {
        fs::permissions(c, fs::perms(0755));
    }
}

// A sparse file is copied sparse, a PHP file too large to check as well
// (unchanged, and said so); each with its bytes.
TEST(Arbol, HuecosConservados) {
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen");
    for (const char* nombre : {"disco.bin", "enorme.php"}) {
        const fs::path ruta = escena / "origen" / nombre;
        escribe_fichero(ruta, "<?php // inicio");
        fs::resize_file(ruta, 64u << 20);
        std::FILE* f = std::fopen(ruta.c_str(), "r+b");
        ASSERT_NE(nullptr, f);
        std::fseek(f, 0, SEEK_END);
        std::fputs("fin", f);
        std::fclose(f);
        if (estado_de(ruta).st_blocks * 512 >= (1 << 20)) {
            GTEST_SKIP() << "this file system stores no holes";
        }
    }
    const resultado r = arbol(escena.ruta(), {"origen", "destino"});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos,
              r.salida.find("Sin compactar enorme.php: demasiado grande para comprobarlo\n"));
    for (const char* nombre : {"disco.bin", "enorme.php"}) {
        SCOPED_TRACE(nombre);
        const struct stat copia = estado_de(escena / "destino" / nombre);
        EXPECT_EQ((64 << 20) + 3, copia.st_size);
        EXPECT_LT(copia.st_blocks * 512, 1 << 20);
        EXPECT_TRUE(lee_fichero(escena / "origen" / nombre) ==
                    lee_fichero(escena / "destino" / nombre));
    }
}

// A folder of the destination where the source now has a file or a link is
// replaced, with all it holds; links in it are removed, never followed.
TEST(Arbol, CarpetaDondeAhoraHayUnFichero) {
    const carpeta_temporal escena;
    fs::create_directories(escena / "origen/x.php");
    fs::create_directories(escena / "origen/l");
    escribe_fichero(escena / "origen/x.php/dentro.txt", "d");
    escribe_fichero(escena / "origen/l/y.txt", "y");
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    fs::create_directories(escena / "fuera");
    escribe_fichero(escena / "fuera/f.txt", "f");
    fs::create_symlink(escena / "fuera", escena / "destino/x.php/enlace");
    fs::remove_all(escena / "origen/x.php");
    fs::remove_all(escena / "origen/l");
    escribe_fichero(escena / "origen/x.php", "<?php $x = 1; // c\n");
    fs::create_symlink("x.php", escena / "origen/l");
    const resultado r = arbol(escena.ruta(), {"origen", "destino"});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_EQ("f", lee_fichero(escena / "fuera/f.txt"));
    igual_que_nueva(escena.ruta(), {}, "origen", "destino");
}

// A file written is given its source's owner, group and bits only where it
// lacks them, as the system says once it is written: whatever the umask, a
// setgid folder or a default ACL made it with, it ends with its source's,
// and the next run knows it for its own.
TEST(Arbol, AtributosDelOrigenSoloDondeFaltan) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to give files other owners and groups";
    }
    constexpr uid_t kNadie = 65534;
    const struct {
        const char* que;
        mode_t mascara;       // the run's umask
        mode_t modo;          // the source files' bits
        uid_t dueno;          // their owner and group
        bool carpeta_setgid;  // the destination is a setgid folder of another group
        mode_t acl;           // the bits a default ACL on the destination gives (0: none)
    } casos[] = {
        {"umask 022", 022, 0644, 0, false, 0},
        {"umask 077", 077, 0644, 0, false, 0},
        {"umask 000", 0, 0644, 0, false, 0},
        {"bits que la umask no da", 022, 0755, 0, false, 0},
        {"bits que la umask quita", 0, 0600, 0, false, 0},
        {"setuid", 022, 04755, 0, false, 0},
        {"otro dueno", 022, 0644, kNadie, false, 0},
        {"otro dueno, setuid y setgid", 022, 06755, kNadie, false, 0},
        {"carpeta setgid", 022, 0644, 0, true, 0},
        {"carpeta setgid, fichero setgid", 022, 02755, 0, true, 0},
        {"ACL por defecto, los bits del origen", 077, 0644, 0, false, 0644},
        {"ACL por defecto, otros bits que el origen", 022, 0640, 0, false, 0644},
        {"ACL por defecto, otros bits que la umask", 022, 0644, 0, false, 0640},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.que);
        const carpeta_temporal escena;
        const fs::path origen = escena / "origen";
        fs::create_directories(origen / "sub");
        const char* const ficheros[] = {"a.php", "b.txt", "sub/c.php", "sub/d.txt"};
        for (const char* f : ficheros) {
            escribe_fichero(origen / f, "<?php\n  // comentario\n  echo 1;\n");
            ASSERT_EQ(0, chown((origen / f).c_str(), c.dueno, c.dueno));
            ASSERT_EQ(0, chmod((origen / f).c_str(), c.modo));
        }
        const fs::path destino = escena / "destino";
        fs::create_directory(destino);
        if (c.carpeta_setgid) {
            ASSERT_EQ(0, chown(destino.c_str(), 0, kNadie));
            ASSERT_EQ(0, chmod(destino.c_str(), 02775));
        }
        if (c.acl != 0 && !pon_acl_por_defecto(destino, c.acl)) {
            continue;  // no ACLs here
        }
        const mode_t antes = umask(c.mascara);
        const resultado r = arbol_kexo(escena.ruta(), {"origen", "destino"});
        const resultado otra = arbol_kexo(escena.ruta(), {"origen", "destino"});
        const auto huella = huellas(destino);
        const resultado tercera = arbol_kexo(escena.ruta(), {"origen", "destino"});
        umask(antes);
        termina_con(r, "Compactados 2 (0 por las reglas de PHP), sin compactar 0, copiados 2");
        for (const char* f : ficheros) {
            SCOPED_TRACE(f);
            EXPECT_EQ(atributos_de(origen / f), atributos_de(destino / f));
        }
        if (guarda_atributos(escena.ruta())) {
            termina_con(otra, "copiados 0, al dia 4, fallidos 0");
            termina_con(tercera, "copiados 0, al dia 4, fallidos 0");
            EXPECT_EQ(huella, huellas(destino));
        }
    }
}

// A source read whole ends where a read meets nothing or where its size, told
// after the last read, says: whatever size it was thought to have, it is read
// whole, and what it is then is told for its copy.
TEST(LecturaOrigen, FinPorElTamanoVisto) {
    const carpeta_temporal escena;
    const fs::path ruta = escena / "a.php";
    std::string bytes;
    for (int i = 0; bytes.size() < 300000; ++i) {
        bytes += std::to_string(i) + "\n";
    }
    escribe_fichero(ruta, bytes);
    struct stat e {};
    ASSERT_EQ(0, stat(ruta.c_str(), &e));
    const std::int64_t tamano = static_cast<std::int64_t>(bytes.size());
    for (const std::int64_t visto : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{7}, tamano - 1,
                                     tamano, tamano + 1, tamano * 3}) {
        SCOPED_TRACE(visto);
        const archivo f(sin_buffer(std::fopen(ruta.c_str(), "rb")));
        ASSERT_TRUE(f);
        std::string leido;
        atributos_origen despues;
        EXPECT_EQ(0, lee_entero(f.get(), leido, SIZE_MAX, visto, &despues));
        EXPECT_EQ(bytes, leido);
        EXPECT_EQ(tamano, despues.tamano);
        EXPECT_EQ(static_cast<std::int64_t>(e.st_mtim.tv_sec), despues.cambio_s);
        EXPECT_EQ(static_cast<std::int64_t>(e.st_mtim.tv_nsec), despues.cambio_ns);
        EXPECT_EQ(e.st_mode & 07777, despues.modo);
    }
    const archivo f(sin_buffer(std::fopen(ruta.c_str(), "rb")));
    std::string leido;
    atributos_origen despues;
    EXPECT_EQ(EFBIG, lee_entero(f.get(), leido, 1000, tamano, &despues));
}

// Sources are opened without waiting: one whose reads are refused for that
// (EAGAIN) is made to wait, and a short read that its size does not confirm
// (a pipe's is 0) is not taken for its end.
TEST(LecturaOrigen, SinEsperaYLecturasCortas) {
    int extremos[2];
    ASSERT_EQ(0, pipe(extremos));
    ASSERT_EQ(0, fcntl(extremos[0], F_SETFL, O_NONBLOCK));
    const archivo f(sin_buffer(fdopen(extremos[0], "rb")));
    ASSERT_TRUE(f);
    std::thread escritor([&] {
        // Only once the reader waits, its first read refused: at most 10 s.
        for (int i = 0; i < 10000 && (fcntl(extremos[0], F_GETFL) & O_NONBLOCK) != 0; ++i) {
            usleep(1000);
        }
        EXPECT_EQ(3, write(extremos[1], "uno", 3));
        usleep(20000);
        EXPECT_EQ(3, write(extremos[1], "dos", 3));
        close(extremos[1]);
    });
    std::string leido;
    atributos_origen despues;
    const int error = lee_entero(f.get(), leido, SIZE_MAX, -1, &despues);
    escritor.join();
    EXPECT_EQ(0, error) << std::strerror(error);
    EXPECT_EQ("unodos", leido);
    EXPECT_EQ(0, fcntl(extremos[0], F_GETFL) & O_NONBLOCK);
}

}  // namespace
}  // namespace kexo
