// kexo-arbol: the patterns, and end to end on generated trees what the case
// folders cannot hold: permission bits, owners and times, links and hard
// links, special files, the same result for any number of threads, errors, a
// signal mid-run; and a hostile world: entries swapped after the walk,
// mounts, a full disk, memory and descriptors short, two runs at once.
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
#include "tests/proceso.h"
#include "tree/estado.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

TEST(Arbol, Extensiones) {
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

// The names in `carpeta`.
std::set<std::string> nombres_en(const fs::path& carpeta) {
    std::set<std::string> todos;
    for (const auto& e : fs::directory_iterator(carpeta)) {
        todos.insert(e.path().filename().string());
    }
    return todos;
}

std::map<std::string, std::string> huellas(const fs::path& raiz);
bool guarda_atributos(const fs::path& carpeta);
void termina_con(const resultado& r, const std::string& resumen);

resultado arbol(const fs::path& carpeta, const std::vector<std::string>& argumentos,
                limites limite = {}, const std::string& binario = KEXO_BINARIO_ARBOL) {
    return ejecuta(orden_de(binario, argumentos), entorno_sin_phprc(), carpeta, limite);
}

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
              arbol(escena_.ruta(), {"origen", "uno"})
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
    const resultado r = arbol(escena_.ruta(), {"origen", "destino"}, {0, 65534}, programa);
    EXPECT_EQ(2, r.estado);  // some entries failed, the rest done
    EXPECT_NE(std::string::npos,
              r.salida.find("Imposible leer d2/2/2.php: Permiso denegado (13)\n"));  // mode 0
    EXPECT_NE(std::string::npos,
              r.salida.find("Imposible escribir d3/0/24.php: Permiso denegado (13)\n"))
        << r.salida;
    EXPECT_EQ("<?php $a = 58;", lee_fichero(escena_ / "destino/d2/1/58.php"));
    // Again, for machines: the same failures, each with its side and number.
    const resultado json =
        arbol(escena_.ruta(), {"--informe=json", "origen", "destino"}, {0, 65534}, programa);
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
    const resultado r = arbol(escena.ruta(), {"-v", "origen", "destino"}, {0, 65534},
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

// The owner and permission bits of `ruta`, its link not followed.
std::pair<uid_t, mode_t> dueno_y_modo(const fs::path& ruta) {
    struct stat estado {};
    lstat(ruta.c_str(), &estado);
    return {estado.st_uid, estado.st_mode & 07777};
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
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}, {0, 65534}, kexo).estado);
    EXPECT_EQ(fs::perms(0555), fs::status(destino / "ro").permissions());
    solo_lectura(false);
    escribe_fichero(origen / "r.txt", "raiz despues");
    escribe_fichero(origen / "ro/a.php", "<?php\n  $a = 2; // a\n");
    fs::remove(origen / "ro/t.txt");
    escribe_fichero(origen / "ro/u.txt", "nuevo");
    solo_lectura(true);
    const resultado r = arbol(escena.ruta(), {"--borra", "origen", "destino"}, {0, 65534}, kexo);
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
    const auto ejecuta_v = [&] {
        const resultado r = arbol(escena.ruta(), {"-v", "-j1", "origen", "destino"});
        EXPECT_EQ(0, r.estado) << r.salida;
        EXPECT_EQ(fs::perms(0555), fs::status(destino / "ro").permissions());
        return r.salida;
    };
    EXPECT_NE(std::string::npos, ejecuta_v().find("+d ro\n"));
    const std::string otra = ejecuta_v();
    EXPECT_NE(std::string::npos, otra.find(".d ro\n")) << otra;
    EXPECT_NE(std::string::npos, otra.find(".d rw\n")) << otra;
    fs::permissions(origen / "ro", fs::perms(0755));
    escribe_fichero(origen / "ro/c.php", "<?php\n$c = 1;\n");
    fs::permissions(origen / "ro", fs::perms(0555));
    const std::string tras_cambio = ejecuta_v();
    fs::permissions(origen / "ro", fs::perms(0755));
    EXPECT_NE(std::string::npos, tras_cambio.find("+d ro\n")) << tras_cambio;
    EXPECT_EQ(fs::perms(0755), fs::status(destino / "rw").permissions());
    fs::permissions(destino / "ro", fs::perms(0755));  // for the scene's removal
}

// Each entry swapped, after the walk, for something else: the work opens
// none of them (a FIFO would wait, a link would lead out, /dev/zero never
// ends), reports each as changed, and writes nothing in its place.
TEST(Arbol, CambiadosTrasElRecorrido) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "sub");
    escribe_fichero(escena / "secreto", "clave");
    fs::permissions(escena / "secreto", fs::perms(0600));
    using cambio = std::function<void(const fs::path&)>;
    const struct {
        const char* ruta;
        cambio cambia;
    } casos[] = {
        {"tubo.php", [](const fs::path& p) { fs::remove(p), mkfifo(p.c_str(), 0600); }},
        {"secreto.php",
         [&](const fs::path& p) { fs::remove(p), fs::create_symlink(escena / "secreto", p); }},
        {"cero.php", [](const fs::path& p) { fs::remove(p), fs::create_symlink("/dev/zero", p); }},
        {"otro.txt",
         [](const fs::path& p) {
             escribe_fichero(p.string() + ".n", "otro"), fs::rename(p.string() + ".n", p);
         }},
        {"carpeta.txt", [](const fs::path& p) { fs::remove(p), fs::create_directory(p); }},
        {"enlace", [](const fs::path& p) { fs::remove(p), escribe_fichero(p, "fichero"); }},
        {"sub/dentro.php",
         [](const fs::path& p) {
             fs::rename(p.parent_path(), p.parent_path().string() + "2");
             fs::create_symlink("sub2", p.parent_path());
         }},
    };
    for (const auto& c : casos) {
        if (std::string(c.ruta) == "enlace") {
            fs::create_symlink("tubo.php", origen / c.ruta);
        } else {
            escribe_fichero(origen / c.ruta, "<?php $a = 1;");
        }
    }
    carpeta raiz;
    std::vector<nodo> sobre_raiz;
    ASSERT_EQ(0, abre_carpeta(origen.string(), raiz));
    ASSERT_EQ(0, ascendencia(raiz, sobre_raiz));
    filtro que{{"php"}, {}, false};
    const recorrido hallado = recorre(raiz, que, {});
    for (const auto& c : casos) {
        c.cambia(origen / c.ruta);
    }
    carpeta destino;
    bool existe = false;
    ASSERT_EQ(0, abre_o_crea_carpeta((escena / "destino").string(), true, destino, existe));
    const opciones_trabajo opciones;
    espejo obra(raiz, destino, hallado.entradas, opciones, sobre_raiz.front());
    taller banco;
    std::map<std::string, resultado_trabajo> resultados;
    for (std::size_t i = 0; i < hallado.entradas.size(); ++i) {
        resultados[hallado.entradas[i].ruta] = hallado.entradas[i].tipo == tipo_entrada::carpeta
                                                   ? crea_carpeta(obra, i).resultado
                                                   : procesa_entrada(obra, i, banco).resultado;
    }
    for (const auto& c : casos) {
        EXPECT_EQ(resultado_trabajo::cambiado, resultados[c.ruta]) << c.ruta;
        EXPECT_FALSE(fs::exists(fs::symlink_status(escena / "destino" / c.ruta))) << c.ruta;
    }
    EXPECT_EQ(std::set<std::string>{"sub"}, nombres_en(escena / "destino"));
}

// A folder that another run makes inside a destination this run made, between
// the look and the making: examined as one from before, not taken as new.
TEST(Arbol, CarpetaHechaEntretantoSeExamina) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "sub");
    escribe_fichero(origen / "sub/a.php", "<?php $a = 1;");
    carpeta raiz;
    std::vector<nodo> sobre_raiz;
    ASSERT_EQ(0, abre_carpeta(origen.string(), raiz));
    ASSERT_EQ(0, ascendencia(raiz, sobre_raiz));
    filtro que{{"php"}, {}, false};
    const recorrido hallado = recorre(raiz, que, {});
    carpeta destino;
    bool existe = false;
    std::vector<std::string> faltaban;
    ASSERT_EQ(0,
              abre_o_crea_carpeta((escena / "destino").string(), true, destino, existe, &faltaban));
    EXPECT_EQ(std::vector<std::string>{"destino"}, faltaban);
    const opciones_trabajo opciones;
    espejo obra(raiz, destino, hallado.entradas, opciones, sobre_raiz.front());
    obra.destino_nuevo = true;
    fs::create_directory(escena / "destino/sub");
    std::size_t sub = 0;
    while (hallado.entradas[sub].ruta != "sub") {
        ++sub;
    }
    EXPECT_EQ(resultado_trabajo::hecho, crea_carpeta(obra, sub).resultado);
    EXPECT_TRUE(obra.ya_estaban[sub]);
}

// What the walk lists, as "ruta:tipo" (d folder, p PHP, o other file) in
// path order, for the tree `rutas` (a trailing `/`: a folder) and the filter
// `que`.
std::string listado(const std::vector<std::string>& rutas, filtro& que) {
    const carpeta_temporal escena;
    for (const std::string& ruta : rutas) {
        if (ruta.back() == '/') {
            fs::create_directories(escena / "origen" / ruta);
        } else {
            fs::create_directories((escena / "origen" / ruta).parent_path());
            escribe_fichero(escena / "origen" / ruta, "<?php $a = 1; // c\n");
        }
    }
    carpeta raiz;
    EXPECT_EQ(0, abre_carpeta((escena / "origen").string(), raiz));
    std::string hallado;
    for (const entrada& e : recorre(raiz, que, {}).entradas) {
        hallado += (hallado.empty() ? "" : " ") + e.ruta + ":" +
                   (e.tipo == tipo_entrada::carpeta ? "d"
                    : e.tipo == tipo_entrada::php   ? "p"
                                                    : "o");
    }
    return hallado;
}

// --sin-compactar: PHP files that match, or lie in a folder that matches, are
// plain files to copy, kept even with -s; other files are not its business.
TEST(Arbol, RecorridoSinCompactar) {
    const std::vector<std::string> arbol = {"a.php",     "b.txt",   "v/x.php", "v/y.txt",
                                            "v/w/z.php", "s/k.php", "s/m.php"};
    const struct {
        std::vector<const char*> reglas;
        bool solo_php;
        const char* hallado;
        std::vector<std::string> sin_uso = {};  // the rules that matched nothing
    } casos[] = {
        {{},
         false,
         "a.php:p b.txt:o s:d s/k.php:p s/m.php:p v:d v/w:d v/w/z.php:p v/x.php:p v/y.txt:o"},
        {{"v/"},
         false,
         "a.php:p b.txt:o s:d s/k.php:p s/m.php:p v:d v/w:d v/w/z.php:o v/x.php:o v/y.txt:o"},
        {{"*.php", "!s/k.php"},
         false,
         "a.php:o b.txt:o s:d s/k.php:p s/m.php:o v:d v/w:d v/w/z.php:o v/x.php:o v/y.txt:o"},
        // A folder that matches is not looked into: nothing inside comes back.
        {{"v", "!v/x.php"},
         false,
         "a.php:p b.txt:o s:d s/k.php:p s/m.php:p v:d v/w:d v/w/z.php:o v/x.php:o v/y.txt:o",
         {"!v/x.php"}},
        // Kept with -s; and other files are not its business.
        {{"w/", "*.txt"},
         true,
         "a.php:p s:d s/k.php:p s/m.php:p v:d v/w:d v/w/z.php:o v/x.php:p",
         {"*.txt"}},
    };
    for (const auto& c : casos) {
        filtro que{{"php"}, {}, c.solo_php};
        for (const char* regla : c.reglas) {
            que.sin_compactar.anade(regla);
        }
        EXPECT_EQ(c.hallado, listado(arbol, que)) << (c.reglas.empty() ? "" : c.reglas[0]);
        EXPECT_EQ(c.sin_uso, que.sin_compactar.sin_coincidencias());
    }
}

// -s leaves out the folders that would hold no file, as rsync -m does: those
// whose files it leaves out, those empty in the source, and those holding
// only such folders.
TEST(Arbol, RecorridoSoloPhpPoda) {
    const struct {
        std::vector<std::string> arbol;
        bool solo_php;
        const char* hallado;
    } casos[] = {
        {{"a/b.txt", "c/", "d/e/f.php", "d/g/h.txt", "i/j/"}, true, "d:d d/e:d d/e/f.php:p"},
        {{"a/b.txt", "c/", "d/e/f.php", "d/g/h.txt", "i/j/"},
         false,
         "a:d a/b.txt:o c:d d:d d/e:d d/e/f.php:p d/g:d d/g/h.txt:o i:d i/j:d"},
        // A name that sorts between a folder and what it holds.
        {{"a/x.php", "a-b/y.txt", "a.c/"}, true, "a:d a/x.php:p"},
        {{"x.txt"}, true, ""},
    };
    for (const auto& c : casos) {
        filtro que{{"php"}, {}, c.solo_php};
        EXPECT_EQ(c.hallado, listado(c.arbol, que));
    }
}

// The walk on several threads finds what it finds on one: the same entries
// in the same order with the same links between them, the same folders it
// could not read, the same rules noted as matched wherever a thread met them,
// and a forbidden folder met deep down ends it, unless the rules leave it out.
TEST(Arbol, RecorridoIgualConVariosHilos) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    for (int i = 0; i < 12; ++i) {
        for (int k = 0; k < 6; ++k) {
            const fs::path hondo = origen / ("r" + std::to_string(i)) / std::to_string(k) / "x";
            fs::create_directories(hondo);
            escribe_fichero(hondo / "a.php", "<?php $a = 1;");
            escribe_fichero(hondo.parent_path() / "b.txt", "b");
        }
    }
    escribe_fichero(origen / "r3/1/solo.inc", "<?php $a = 2;");
    fs::create_hard_link(origen / "r3/1/x/a.php", origen / "r9/5/x/otro.php");
    fs::create_symlink("../x", origen / "r2/2/x/enlace");
    fs::create_directories(origen / "r7/4/x/prohibida/dentro");
    const bool sin_privilegios = geteuid() != 0;
    if (sin_privilegios) {
        fs::permissions(origen / "r5/3", fs::perms::none);
        fs::permissions(origen / "r10/0/x", fs::perms::none);
    }
    carpeta raiz;
    ASSERT_EQ(0, abre_carpeta(origen.string(), raiz));
    carpeta prohibida;
    std::vector<nodo> cadena;
    ASSERT_EQ(0, abre_carpeta((origen / "r7/4/x/prohibida").string(), prohibida));
    ASSERT_EQ(0, ascendencia(prohibida, cadena));
    const std::vector<nodo> prohibidos = {cadena.front()};
    // Each entry as "ruta tipo padre principal", each failure as "ruta error".
    const auto describe = [](const recorrido& r) {
        std::vector<std::string> lineas;
        for (const entrada& e : r.entradas) {
            lineas.push_back(e.ruta + " " + std::to_string(static_cast<int>(e.tipo)) + " " +
                             std::to_string(e.padre) + " " + std::to_string(e.principal));
        }
        for (const fallo_recorrido& f : r.fallos) {
            lineas.push_back("fallo " + f.ruta + " " + std::to_string(f.error));
        }
        return lineas;
    };
    const auto con_reglas = [] {
        filtro que{{"php", "inc"}, {}, false};
        for (const char* regla : {"r1/", "/r4/2/x/a.php", "prohibida/", "nada*", "!r6/3/b.txt"}) {
            que.excluidos.anade(regla);
        }
        que.sin_compactar.anade("r8/**/x");
        que.sin_compactar.anade("tampoco*");
        return que;
    };
    filtro que_uno = con_reglas();
    const recorrido uno = recorre(raiz, que_uno, prohibidos, {}, 1);
    ASSERT_FALSE(uno.solapa);
    EXPECT_EQ(sin_privilegios ? 2u : 0u, uno.fallos.size());
    EXPECT_EQ(std::vector<std::string>{"nada*"}, que_uno.excluidos.sin_coincidencias());
    EXPECT_EQ(std::vector<std::string>{"tampoco*"}, que_uno.sin_compactar.sin_coincidencias());
    for (const unsigned hilos : {1u, 2u, 3u, 8u}) {
        filtro que = con_reglas();
        const recorrido varios = recorre(raiz, que, prohibidos, {}, hilos);
        EXPECT_FALSE(varios.solapa) << hilos;
        EXPECT_EQ(describe(uno), describe(varios)) << hilos;
        EXPECT_EQ(que_uno.excluidos.sin_coincidencias(), que.excluidos.sin_coincidencias());
        EXPECT_EQ(que_uno.sin_compactar.sin_coincidencias(), que.sin_compactar.sin_coincidencias());
        // Not left out, the forbidden folder ends the walk, whichever thread meets it.
        filtro sin_reglas{{"php"}, {}, false};
        EXPECT_TRUE(recorre(raiz, sin_reglas, prohibidos, {}, hilos).solapa) << hilos;
    }
    if (sin_privilegios) {
        fs::permissions(origen / "r5/3", fs::perms::owner_all);
        fs::permissions(origen / "r10/0/x", fs::perms::owner_all);
    }
}

struct stat estado_de(const fs::path& ruta) {
    struct stat estado {};
    lstat(ruta.c_str(), &estado);
    return estado;
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
        const resultado r = arbol(escena.ruta(), {"-j2", "origen", "destino"});
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
    proceso uno(orden_de(KEXO_BINARIO_ARBOL, {"origen", "destino"}), entorno_sin_phprc(),
                escena.ruta());
    proceso otro(orden_de(KEXO_BINARIO_ARBOL, {"origen", "destino"}), entorno_sin_phprc(),
                 escena.ruta());
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

// A destination that comes to be while the source is walked (another run
// made it, or it was moved into place) is one that holds a run's files: it
// is looked at as any other, not taken for new.
TEST(Arbol, DestinoQueApareceDuranteElRecorrido) {
    const carpeta_temporal escena;
    const fs::path grande = escena / "origen" / "grande";
    fs::create_directories(grande);
    for (int i = 0; i < 5000; ++i) {
        escribe_fichero(grande / std::to_string(i), "");
    }
    fs::create_directories(escena / "origen" / "sub");
    escribe_fichero(escena / "origen" / "sub" / "a.php", "<?php $a = 1; // c");
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "previo"}).estado);
    proceso kexo(orden_de(KEXO_BINARIO_ARBOL, {"-v", "-j1", "origen", "destino"}),
                 entorno_sin_phprc(), escena.ruta());
    // Once it lists the big folder, the destination was looked for and not
    // found: it is moved into place while the walk goes on.
    const fs::path descriptores = fs::path("/proc") / std::to_string(kexo.pid()) / "fd";
    bool visto = false;
    for (int vuelta = 0; vuelta < 200000 && !visto; ++vuelta) {
        std::error_code error;
        for (fs::directory_iterator d(descriptores, error), fin; !error && d != fin;
             d.increment(error)) {
            std::error_code sin_enlace;
            if (fs::read_symlink(d->path(), sin_enlace) == grande) {
                visto = true;
                break;
            }
        }
        if (!visto) {
            usleep(50);
        }
    }
    if (visto) {
        fs::rename(escena / "previo", escena / "destino");
    }
    const resultado r = kexo.espera();
    ASSERT_TRUE(visto) << "the walk of the big folder was not seen";
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find(".d sub\n.f sub/a.php\n")) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find("al dia 5001,")) << r.salida;
}

// However deep the tree, a few descriptors do.
TEST(Arbol, ProfundoConPocosDescriptores) {
    const carpeta_temporal escena;
    fs::path carpeta = escena / "origen";
    std::string ruta;
    for (int nivel = 0; nivel < 40; ++nivel) {
        ruta += std::string(ruta.empty() ? "" : "/") + "n" + std::to_string(nivel);
        fs::create_directories(carpeta / ruta);
        escribe_fichero(carpeta / ruta / "a.php", "<?php $a = 1; // c");
    }
    const resultado r = arbol(escena.ruta(), {"-j8", "origen", "destino"}, {0, 0, 16});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_EQ("<?php $a = 1;", lee_fichero(escena / "destino" / ruta / "a.php"));
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
    const resultado r = arbol(escena.ruta(), {"-j1", "origen", "destino"}, {60u << 20});
    EXPECT_EQ(2, r.estado);
    EXPECT_EQ(
        "Memoria insuficiente para grande.php\n"
        "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, fallidos 1; PHP 18 "
        "-> 13 bytes (27.8% "
        "menos)\n",
        r.salida);
    EXPECT_EQ((std::set<std::string>{"a.php", "z.txt"}), nombres_en(escena / "destino"));
}

// Overlap told by what folders are, whatever the paths: a bind mount of the
// source, a source holding the destination, a destination holding a source
// folder. A destination in the source is allowed only where the rules leave
// it out, however it is reached. Nothing else in the source is ever written.
// Skipped where this machine may not mount.
TEST(Arbol, SolapeATravesDeMontajes) {
    const carpeta_temporal escena;
    const fs::path origen = escena / "origen";
    fs::create_directories(origen / "sub");
    escribe_fichero(origen / "sub/a.php", "<?php $a = 1; // c");
    montajes montados;
    if (!montados.monta(origen.string(), escena / "enlazado", "", true)) {
        GTEST_SKIP() << "cannot bind mount here";
    }
    fs::create_directories(escena / "otro");
    ASSERT_TRUE(montados.monta((escena / "otro").string(), origen / "dentro", "", true));
    ASSERT_TRUE(montados.monta((origen / "sub").string(), escena / "fuera/sub", "", true));
    // What the source holds but the destinations left out.
    const auto propio = [&origen] {
        auto todo = contenido(origen);
        for (auto i = todo.begin(); i != todo.end();) {
            const bool dejado = i->first.rfind("dentro", 0) == 0 || i->first.rfind("dist", 0) == 0;
            i = dejado ? todo.erase(i) : std::next(i);
        }
        return todo;
    };
    const auto antes = propio();
    const std::string solapan =
        "kexo-arbol: Origen y destino se solapan: ninguno puede estar dentro del otro\n";
    const std::string dentro =
        "kexo-arbol: Origen y destino se solapan: un destino dentro del origen ha de quedar fuera "
        "(-x)\n";
    const std::string hecho =
        "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 0, fallidos 0; PHP 18 "
        "-> 13 bytes (27.8% menos)\n";
    const struct {
        const char* origen;
        const char* destino;
        std::string salida;
        int estado;
    } casos[] = {
        {"origen", "enlazado", solapan, 1},
        {"origen", "enlazado/sub", dentro, 1},  // in the source, not left out
        {"enlazado", "origen/sub", dentro, 1},
        {"origen", "otro", hecho, 0},             // the source holds it, mounted, left out
        {"origen", "enlazado/dist/x", hecho, 0},  // in the source, left out
        {"enlazado", "origen/dist", hecho, 0},    // the same
        {"origen", "fuera",                       // it holds a source folder, mounted
         "Imposible escribir sub: Demasiados niveles de enlaces simbolicos (40)\n"
         "Imposible escribir sub/a.php: No existe el fichero o el directorio (2)\n"
         "Compactados 0 (0 por las reglas de PHP), sin compactar 0, copiados 0, fallidos 2; PHP 0 "
         "-> 0 bytes (0.0% menos)\n",
         2},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.destino);
        const resultado r =
            arbol(escena.ruta(), {"-x", "dentro", "-x", "/dist", c.origen, c.destino});
        EXPECT_EQ(c.estado, r.estado);
        // The report, or why there is none; a pattern that matched nothing aside.
        std::string por_que = r.errores;
        for (std::size_t aviso;
             (aviso = por_que.find("kexo-arbol: Aviso: el patron")) != std::string::npos;) {
            por_que.erase(aviso, por_que.find('\n', aviso) + 1 - aviso);
        }
        EXPECT_EQ(c.salida, r.salida + por_que);
    }
    EXPECT_EQ(antes, propio());
    EXPECT_EQ("<?php $a = 1;", lee_fichero(origen / "dist/x/sub/a.php"));
}

// A destination in the source, existing or still to be made, is allowed only
// where the rules leave it out, or a folder it lies in; and it is never walked.
TEST(Arbol, DestinoDentroDelOrigen) {
    const struct {
        std::vector<std::string> reglas;
        const char* destino;
        bool admitido;
    } casos[] = {
        {{"dist"}, "origen/dist", true},
        {{"/dist/"}, "origen/dist", true},
        {{"dist/*"}, "origen/dist", false},  // only what it holds
        {{"dist", "!dist"}, "origen/dist", false},
        {{"*.txt"}, "origen/dist", false},
        {{"build"}, "origen/build/www", true},
        {{"www"}, "origen/build/www", true},
        {{"sub"}, "origen/sub/dist", true},  // in a folder that exists, left out
        {{"sub/dist"}, "origen/sub/dist", true},
        {{"dist"}, "origen/sub/../dist", true},
        {{"sub"}, "origen/sub", true},  // one that exists
        {{"dist"}, "origen/sub", false},
        {{"sub"}, "origen", false},
        {{"sub"}, "origen/..", false},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.destino + (" -x " + c.reglas[0]));
        const carpeta_temporal escena;
        fs::create_directories(escena / "origen/sub");
        escribe_fichero(escena / "origen/a.php", "<?php $a = 1; // c");
        escribe_fichero(escena / "origen/sub/b.txt", "b");
        std::vector<std::string> argumentos;
        for (const std::string& regla : c.reglas) {
            argumentos.insert(argumentos.end(), {"-x", regla});
        }
        argumentos.insert(argumentos.end(), {"origen", c.destino});
        const auto antes = contenido(escena / "origen");
        for (int vez = 0; vez < 2; ++vez) {  // made, then there already
            const resultado r = arbol(escena.ruta(), argumentos);
            EXPECT_EQ(c.admitido ? 0 : 1, r.estado) << r.salida;
        }
        if (c.admitido) {
            EXPECT_EQ("<?php $a = 1;", lee_fichero(escena / c.destino / "a.php"));
            // Never walked: no copy of itself inside it.
            const fs::path dentro =
                fs::path(c.destino).lexically_normal().lexically_relative("origen");
            EXPECT_FALSE(fs::exists(escena / c.destino / dentro)) << dentro;
        } else {
            EXPECT_EQ(antes, contenido(escena / "origen"));
        }
    }
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
        const resultado r = arbol(escena.ruta(), {opcion, "origen", "lleno/d"});
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

// Incremental runs: what a run over an existing destination leaves alone,
// what it writes again, and that the result is always what a fresh run into
// an empty folder gives.

// Every entry under `raiz` as a fresh run must give it: kind, bytes or a
// link's target, permission bits, owner and group, modification time in ns.
std::map<std::string, std::string> foto(const fs::path& raiz) {
    std::map<std::string, std::string> todo;
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        struct stat estado;
        lstat(i->path().c_str(), &estado);
        std::string dato = std::to_string(estado.st_mode) + " " + std::to_string(estado.st_uid) +
                           ":" + std::to_string(estado.st_gid) + " " +
                           std::to_string(estado.st_mtim.tv_sec) + "." +
                           std::to_string(estado.st_mtim.tv_nsec);
        if (S_ISLNK(estado.st_mode)) {
            dato += " -> " + fs::read_symlink(i->path()).string();
        } else if (S_ISREG(estado.st_mode)) {
            dato += " " + lee_fichero(i->path());
        }
        todo[i->path().lexically_relative(raiz).string()] = dato;
    }
    return todo;
}

// Each entry under `raiz` by its inode and its modification and change
// times: all three stay when a run leaves the entry alone.
std::map<std::string, std::string> huellas(const fs::path& raiz) {
    std::map<std::string, std::string> todas;
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        struct stat e;
        lstat(i->path().c_str(), &e);
        todas[i->path().lexically_relative(raiz).string()] =
            std::to_string(e.st_ino) + " " + std::to_string(e.st_mtim.tv_sec) + "." +
            std::to_string(e.st_mtim.tv_nsec) + " " + std::to_string(e.st_ctim.tv_sec) + "." +
            std::to_string(e.st_ctim.tv_nsec);
    }
    return todas;
}

// The paths whose print differs between `antes` and `despues`, either side.
std::set<std::string> cambiadas(const std::map<std::string, std::string>& antes,
                                const std::map<std::string, std::string>& despues) {
    std::set<std::string> distintas;
    for (const auto& [ruta, dato] : antes) {
        const auto otra = despues.find(ruta);
        if (otra == despues.end() || otra->second != dato) {
            distintas.insert(ruta);
        }
    }
    for (const auto& [ruta, dato] : despues) {
        if (antes.count(ruta) == 0) {
            distintas.insert(ruta);
        }
    }
    return distintas;
}

// True where files in `carpeta` keep extended attributes of the user's.
bool guarda_atributos(const fs::path& carpeta) {
    const fs::path prueba = carpeta / "prueba-atributos";
    escribe_fichero(prueba, "");
    const bool guarda = setxattr(prueba.c_str(), "user.prueba", "1", 1, 0) == 0;
    fs::remove(prueba);
    return guarda;
}

// The run `r` ended well, and its summary holds `resumen`.
void termina_con(const resultado& r, const std::string& resumen) {
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find(resumen)) << r.salida;
}

resultado arbol_con(const fs::path& carpeta, const std::vector<std::string>& argumentos,
                    const std::vector<std::string>& entorno) {
    return ejecuta(orden_de(KEXO_BINARIO_ARBOL, argumentos), entorno_sin_phprc(entorno), carpeta);
}

// Runs kexo-arbol with `argumentos` (less the two roots) from `origen` into a
// fresh folder, and expects `destino` to be what it wrote.
void igual_que_nueva(const fs::path& escena, const std::vector<std::string>& argumentos,
                     const std::string& origen, const std::string& destino,
                     const std::vector<std::string>& entorno = {}) {
    static int vez = 0;
    const std::string nueva = "nueva-" + std::to_string(++vez);
    std::vector<std::string> todos = argumentos;
    todos.push_back(origen);
    todos.push_back(nueva);
    ASSERT_EQ(0, arbol_con(escena, todos, entorno).estado);
    EXPECT_EQ(foto(escena / nueva), foto(escena / destino));
}

TEST_F(ArbolGenerado, SegundaEjecucionNoReescribeNada) {
    if (!guarda_atributos(escena_.ruta())) {
        GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    ASSERT_EQ(0, arbol(escena_.ruta(), {"origen", "destino"}).estado);
    const auto antes = huellas(escena_ / "destino");
    const resultado otra = arbol(escena_.ruta(), {"--informe=json", "origen", "destino"});
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
    const resultado una = arbol(escena_.ruta(), {"origen", "destino"});
    termina_con(una,
                "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 0, al dia 179, "
                "fallidos 0");
    // Its folder's change time moves with it: the times it shows are the source's.
    EXPECT_EQ((std::set<std::string>{"d3/1", "d3/1/10.php"}),
              cambiadas(antes, huellas(escena_ / "destino")));
    igual_que_nueva(escena_.ruta(), {}, "origen", "destino");
    // A dry run says the same and writes nothing.
    const auto ahora = huellas(escena_ / "destino");
    EXPECT_NE(std::string::npos, arbol(escena_.ruta(), {"-n", "origen", "destino"})
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
        {"mode php", {}, {"--modo=php"}, nullptr, nullptr},
        {"mode kexo again", {"--modo=php"}, {}, nullptr, nullptr},
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
        {"other version", [](std::string m) { return m.replace(0, 5, "kexo9"); }, false},
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
        ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
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
        const resultado r = arbol(escena.ruta(), {"origen", "destino"});
        termina_con(
            r, "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, fallidos 0");
        EXPECT_EQ((std::set<std::string>{"a.php", "b.txt"}),
                  cambiadas(antes, huellas(escena / "destino")));
        igual_que_nueva(escena.ruta(), {}, "origen", "destino");
    }
}

// Sets the modification time of `ruta` to `segundos`.
void pon_tiempo(const fs::path& ruta, long segundos) {
    const struct timespec tiempos[2] = {{segundos, 0}, {segundos, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, ruta.c_str(), tiempos, 0));
}

// Each file `nombre` of a destination printed `antes` and `despues` (huellas)
// is the same file in both, its inode the print's first field: not written again.
void espera_no_reescrito(const std::map<std::string, std::string>& antes,
                         const std::map<std::string, std::string>& despues,
                         const std::string& nombre) {
    EXPECT_EQ(antes.at(nombre).substr(0, antes.at(nombre).find(' ')),
              despues.at(nombre).substr(0, despues.at(nombre).find(' ')))
        << nombre << ": written again";
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
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
    // The same size and time, other bytes: only --suma sees it.
    escribe_fichero(origen / "a.php", "<?php\n  $a = 2; // c\n");
    escribe_fichero(origen / "b.txt", "texto dos");
    pon_tiempo(origen / "a.php", 1500000000);
    pon_tiempo(origen / "b.txt", 1500000000);
    EXPECT_NE(std::string::npos,
              arbol(escena.ruta(), {"origen", "destino"}).salida.find("al dia 3"));
    const resultado r = arbol(escena.ruta(), {"--suma", "origen", "destino"});
    termina_con(r,
                "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, al dia 1, "
                "fallidos 0");
    igual_que_nueva(escena.ruta(), {}, "origen", "destino");

    // A checkout: every time new, no byte changed.
    for (const char* nombre : {"a.php", "b.txt", "c.txt"}) {
        pon_tiempo(origen / nombre, 1600000000);
    }
    const auto antes = huellas(escena / "destino");
    EXPECT_NE(std::string::npos, arbol(escena.ruta(), {"--suma", "origen", "destino"})
                                     .salida.find("copiados 0, al dia 3, fallidos 0"));
    const auto despues = huellas(escena / "destino");
    for (const char* nombre : {"a.php", "b.txt", "c.txt"}) {
        espera_no_reescrito(antes, despues, nombre);
    }
    igual_que_nueva(escena.ruta(), {}, "origen", "destino");
    // The records follow the times: the next run without --suma leaves all alone.
    EXPECT_NE(std::string::npos,
              arbol(escena.ruta(), {"origen", "destino"}).salida.find("al dia 3"));
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
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
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
    const resultado r = arbol(escena.ruta(), {"--suma", "origen", "destino"});
    termina_con(r,
                "Compactados 1 (0 por las reglas de PHP), sin compactar 0, copiados 1, fallidos 0");
    igual_que_nueva(escena.ruta(), {}, "origen", "destino");
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
    ASSERT_EQ(0, arbol(escena.ruta(), {"origen", "destino"}).estado);
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
    const resultado r = arbol(escena.ruta(), {"origen", "destino"});
    termina_con(r,
                "Compactados 2 (0 por las reglas de PHP), sin compactar 0, copiados 1, al dia 1, "
                "fallidos 0");
    igual_que_nueva(escena.ruta(), {}, "origen", "destino");
}

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

// A record reads back as written; no part of it does, nor one changed anywhere.
TEST(Estado, MarcaIdaYVuelta) {
    marca_fichero m;
    m.clave = 0x0123456789abcdefu;
    m.origen.tamano = 206648;
    m.origen.tiempo = 1593862023123456789;
    m.origen.modo = 0644;
    m.origen.dueno = 1000;
    m.origen.grupo = 100;
    m.escrito = m.origen;
    m.escrito.tamano = 125286;
    m.escrito.numero = 0x1234567;
    m.suma_escrita = 0x0badc0ffee15900du;
    m.tipo = tipo_suma::suma;
    m.suma = 0xfedcba9876543210u;
    const std::string texto = escribe_marca(m);
    marca_fichero leida;
    ASSERT_TRUE(lee_marca(texto, leida)) << texto;
    EXPECT_EQ(texto, escribe_marca(leida));
    for (std::size_t n = 0; n < texto.size(); ++n) {
        EXPECT_FALSE(lee_marca(texto.substr(0, n), leida)) << n;
        std::string otro = texto;
        otro[n] = otro[n] == '1' ? '2' : '1';
        EXPECT_FALSE(lee_marca(otro, leida)) << otro;
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
    const std::vector<std::string> args = {"--estricto", "origen", "destino"};
    const resultado primera = arbol_con(escena.ruta(), args, entorno);
    EXPECT_EQ(3, primera.estado);
    const std::string motivo = "Sin compactar b.php: cambiaria el programa en la linea 2\n";
    EXPECT_EQ(0u, primera.salida.find(motivo)) << primera.salida;
    const resultado segunda = arbol_con(escena.ruta(), args, entorno);
    EXPECT_EQ(3, segunda.estado);
    EXPECT_EQ(0u, segunda.salida.find(motivo)) << segunda.salida;
    EXPECT_NE(std::string::npos, segunda.salida.find("al dia 2")) << segunda.salida;
    const resultado json =
        arbol_con(escena.ruta(), {"--estricto", "--informe=json", "origen", "destino"}, entorno);
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

// A default ACL on `carpeta` that gives new files the bits `modo` (of 0666)
// whatever the umask. Returns false where the file system keeps no ACLs.
bool pon_acl_por_defecto(const fs::path& carpeta, mode_t modo) {
    struct entrada_acl {
        std::uint16_t etiqueta;
        std::uint16_t permisos;
        std::uint32_t id;
    };
    struct {
        std::uint32_t version = 2;
        entrada_acl entradas[3] = {{0x01, 0, ~0u}, {0x04, 0, ~0u}, {0x20, 0, ~0u}};
    } acl;
    for (int i = 0; i < 3; ++i) {
        acl.entradas[i].permisos = static_cast<std::uint16_t>((modo >> (6 - 3 * i)) & 7);
    }
    return setxattr(carpeta.c_str(), "system.posix_acl_default", &acl, sizeof acl, 0) == 0;
}

// What a file is as its copy must have it: bits, owner and group.
std::string atributos_de(const fs::path& ruta) {
    struct stat e {};
    lstat(ruta.c_str(), &e);
    return std::to_string(e.st_mode & 07777) + " " + std::to_string(e.st_uid) + ":" +
           std::to_string(e.st_gid);
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
        const resultado r = arbol(escena.ruta(), {"origen", "destino"});
        const resultado otra = arbol(escena.ruta(), {"origen", "destino"});
        const auto huella = huellas(destino);
        const resultado tercera = arbol(escena.ruta(), {"origen", "destino"});
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
