// kexo-arbol's walk: what it takes, what it leaves out, and a tree that
// changes or overlaps the destination while it is read.
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

TEST(Arbol, Extensiones) {
    EXPECT_TRUE(tiene_extension("a.PHP", {"php"}));
    EXPECT_TRUE(tiene_extension("a.inc", {"php", "inc"}));
    EXPECT_FALSE(tiene_extension(".php", {"php"}));
    EXPECT_FALSE(tiene_extension("a.php.txt", {"php"}));
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
    EXPECT_TRUE(obra.ya_estaba(sub));
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
         "a.php:p b.txt:o s:d s/k.php:p s/m.php:p v:d v/w:d v/w/z.php:o v/x.php:o v/y.txt:o"},
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
    proceso kexo(orden_de(KEXO_BINARIO_ARBOL, {"-vv", "-j1", "origen", "destino"}),
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
    const resultado r = arbol_kexo(escena.ruta(), {"-j8", "origen", "destino"}, {0, 0, 16});
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_EQ("<?php $a = 1;", lee_fichero(escena / "destino" / ruta / "a.php"));
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
            arbol_kexo(escena.ruta(), {"-x", "dentro", "-x", "/dist", c.origen, c.destino});
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
            const resultado r = arbol_kexo(escena.ruta(), argumentos);
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

}  // namespace
}  // namespace kexo
