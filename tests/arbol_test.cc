// kexo-arbol: the patterns, and end to end on generated trees what the case
// folders cannot hold: permission bits, owners and times, links and hard
// links, special files, the same result for any number of threads, errors, a
// signal mid-run; and a hostile world: entries swapped after the walk,
// mounts, a full disk, memory and descriptors short, two runs at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "common/carpeta.h"
#include "tests/proceso.h"
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
    // A second run over the mirror replaces what is there.
    escribe_fichero(escena_ / "uno/d0/0/0.php", "viejo");
    EXPECT_EQ(uno.salida, arbol(escena_.ruta(), {"origen", "uno"}).salida);
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
    // A folder of the destination that its owner may not write in.
    for (const char* carpeta : {"destino", "destino/d3", "destino/d3/0"}) {
        fs::create_directory(escena_ / carpeta);
        ASSERT_EQ(0, chown((escena_ / carpeta).c_str(), 65534, 65534));
    }
    fs::permissions(escena_ / "destino/d3/0", fs::perms(0555));
    const resultado r = arbol(escena_.ruta(), {"origen", "destino"}, {0, 65534},
                              copia_para_todos(KEXO_BINARIO_ARBOL, escena_.ruta()));
    EXPECT_EQ(2, r.estado);  // some entries failed, the rest done
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
        EXPECT_NE(
            std::string::npos,
            r.salida.find("Compactados 3 (0 por las reglas de PHP), sin compactar 0, copiados 2"))
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
    for (const resultado& r : {uno.espera(), otro.espera()}) {
        EXPECT_EQ(0, r.estado);
        EXPECT_EQ(
            "Compactados 500 (0 por las reglas de PHP), sin compactar 0, copiados 0, fallidos 0; "
            "PHP 9000 -> 6500 "
            "bytes (27.8% menos)\n",
            r.salida);
    }
    EXPECT_EQ(contenido(escena / "origen").size(), contenido(escena / "destino").size());
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
// folder. Nothing in the source is ever written. Skipped where this machine
// may not mount.
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
    const auto antes = contenido(origen);
    const std::string solapan =
        "Origen y destino se solapan: ninguno puede estar dentro del otro\n";
    const struct {
        const char* origen;
        const char* destino;
        std::string salida;
    } casos[] = {
        {"origen", "enlazado", solapan},
        {"origen", "enlazado/dist", solapan},
        {"enlazado", "origen/dist", solapan},
        {"origen", "otro", solapan},  // the source holds it, mounted, even left out
        {"origen", "fuera",           // it holds a source folder, mounted
         "Imposible escribir sub (40)\nImposible escribir sub/a.php (2)\n"
         "Compactados 0 (0 por las reglas de PHP), sin compactar 0, copiados 0, fallidos 2; PHP 0 "
         "-> 0 bytes (0.0% menos)\n"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.destino);
        const resultado r = arbol(escena.ruta(), {"-x", "dentro", c.origen, c.destino});
        EXPECT_EQ(c.salida == solapan ? 1 : 2, r.estado);  // refused, or some entries failed
        EXPECT_EQ(c.salida, r.salida);
    }
    EXPECT_EQ(antes, contenido(origen));
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
                      r.salida.find(std::string("Imposible escribir ") + nombre + " (28)\n"))
                << r.salida;
        }
        EXPECT_EQ(std::set<std::string>{}, nombres_en(escena / "lleno/d"));
    }
}

}  // namespace

}  // namespace kexo
