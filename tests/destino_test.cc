// End to end, the destination: replaced whole or left as it was, whatever
// happens to the run, with its permission bits, links and neighbours kept.
#include "salida/destino.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <thread>

#include "salida/temporales.h"
#include "tests/escapa.h"
#include "tests/proceso.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNadie = 65534;

// The names in `carpeta`.
std::set<std::string> nombres(const fs::path& carpeta) {
    std::set<std::string> todos;
    for (const auto& entrada : fs::directory_iterator(carpeta)) {
        todos.insert(entrada.path().filename().string());
    }
    return todos;
}

resultado corre(const fs::path& carpeta, const std::string& origen, const std::string& destino,
                limites limite = {}, const std::string& binario = KEXO_BINARIO) {
    return ejecuta({binario, origen, destino}, entorno_sin_phprc(), carpeta, limite);
}

// A source of about `mb` megabytes, and what it compacts to.
struct fuente_grande {
    std::string bytes, compactado;
};

fuente_grande grande(std::size_t mb, char letra) {
    const std::string linea = std::string("  $") + letra + " = 1; // c\r\n";
    const std::string compacta = std::string("$") + letra + " = 1;  ";
    fuente_grande f;
    for (std::size_t n = 0; n < mb * 50000; ++n) {
        f.bytes += linea;
        f.compactado += compacta;
    }
    f.compactado = "  " + f.compactado.substr(0, f.compactado.size() - 2);
    return f;
}

// What a removal on another thread read of a temporary's name: names not
// whole, read after their owner forgot and freed them.
std::atomic<int> nombres_rotos{0};
const std::string kPrefijoLargo(48, 'p');  // longer than a string keeps in itself

void lee_nombre(int, const char* nombre) {
    if (std::string(nombre).compare(0, kPrefijoLargo.size(), kPrefijoLargo) != 0) {
        nombres_rotos.fetch_add(1);
    }
}

// A signal's removal runs on one thread while the others go on: a temporary
// made after it looked is removed by its maker, and the old destination stays.
TEST(Temporales, HechoTrasLaRetirada) {
    const carpeta_temporal escena;
    escribe_fichero(escena / "b.php", "antes");
    EXPECT_EXIT(
        {
            borra_temporales([](int, const char*) {});
            destino d;
            int error = d.abre((escena / "b.php").string());
            if (error == 0) {
                std::fputs("nuevo", d.flujo());
                error = d.confirma(true);
            }
            std::exit(error == EINTR ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ("antes", lee_fichero(escena / "b.php"));
    EXPECT_EQ(std::set<std::string>{"b.php"}, nombres(escena.ruta()));
}

// A removal (a signal's, on any thread) reads each name it finds whole, while
// their owners name and forget them: a name is not freed under it.
TEST(Temporales, OlvidadosMientrasSeBorran) {
    std::atomic<bool> fin{false};
    std::thread dueno([&] {
        while (!fin.load()) {
            temporal t;
            t.nombra(-1, kPrefijoLargo);
        }
    });
    for (int vez = 0; vez < 20000; ++vez) {
        borra_temporales(lee_nombre);
    }
    fin = true;
    dueno.join();
    EXPECT_EQ(0, nombres_rotos.load());
}

TEST(Destino, GuardaPermisosEnlacesYVecinos) {
    const carpeta_temporal escena;
    escribe_fichero(escena / "a.php", "x // y");
    escribe_fichero(escena / "b.php", "antes");
    fs::permissions(escena / "b.php", fs::perms(0640));
    escribe_fichero(escena / "destino.php", "antes");
    fs::create_symlink("destino.php", escena / "enlace.php");
    fs::create_symlink("nuevo.php", escena / "colgante.php");
    fs::create_hard_link(escena / "b.php", escena / "duro.php");
    for (const char* destino : {"b.php", "enlace.php", "colgante.php"}) {
        SCOPED_TRACE(destino);
        EXPECT_EQ(0, corre(escena.ruta(), "a.php", destino).estado);
    }
    EXPECT_EQ("x", lee_fichero(escena / "b.php"));
    EXPECT_EQ(fs::perms(0640), fs::status(escena / "b.php").permissions());
    // A destination is replaced: its other hard links keep the old bytes.
    EXPECT_EQ("antes", lee_fichero(escena / "duro.php"));
    EXPECT_TRUE(fs::is_symlink(escena / "enlace.php"));
    EXPECT_EQ("x", lee_fichero(escena / "destino.php"));
    EXPECT_TRUE(fs::is_symlink(escena / "colgante.php"));
    EXPECT_EQ("x", lee_fichero(escena / "nuevo.php"));
    const std::set<std::string> esperados = {
        "a.php", "b.php", "destino.php", "enlace.php", "colgante.php", "duro.php", "nuevo.php"};
    EXPECT_EQ(esperados, nombres(escena.ruta()));
}

// Standard output sent to the destination: the file holds the compacted text only.
TEST(Destino, SalidaEstandarEnElDestino) {
    const carpeta_temporal escena;
    escribe_fichero(escena / "a.php", "a\r\n  b // c");
    const resultado r =
        ejecuta({"/bin/sh", "-c", std::string(KEXO_BINARIO) + " a.php /dev/stdout > f.php"},
                entorno_sin_phprc(), escena.ruta());
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ("a b", lee_fichero(escena / "f.php"));
}

// Two runs onto one destination: it ends as the whole result of one of them.
// Sources this large are written by a thread of their own.
TEST(Destino, DosEjecucionesAUnDestino) {
    const carpeta_temporal escena;
    const fuente_grande a = grande(30, 'a');
    const fuente_grande b = grande(30, 'b');
    escribe_fichero(escena / "a.php", a.bytes);
    escribe_fichero(escena / "b.php", b.bytes);
    proceso primero({KEXO_BINARIO, "a.php", "d.php"}, entorno_sin_phprc(), escena.ruta());
    proceso segundo({KEXO_BINARIO, "b.php", "d.php"}, entorno_sin_phprc(), escena.ruta());
    EXPECT_EQ(0, primero.espera().estado);
    EXPECT_EQ(0, segundo.espera().estado);
    const std::string d = lee_fichero(escena / "d.php");
    EXPECT_TRUE(d == a.compactado || d == b.compactado);
    EXPECT_EQ((std::set<std::string>{"a.php", "b.php", "d.php"}), nombres(escena.ruta()));
}

// A signal in the middle of a run: the old destination stays, nothing is left
// beside it. The source is a FIFO, so the run is caught while it reads.
TEST(Destino, SenalAMedias) {
    for (const int senal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(senal);
        const carpeta_temporal escena;
        escribe_fichero(escena / "b.php", "antes");
        ASSERT_EQ(0, mkfifo((escena / "a.php").c_str(), 0600));
        proceso kexo({KEXO_BINARIO, "a.php", "b.php"}, entorno_sin_phprc(), escena.ruta());
        {
            std::FILE* tuberia = std::fopen((escena / "a.php").c_str(), "wb");
            ASSERT_NE(nullptr, tuberia);
            const std::string trozo(4u << 20, 'x');
            std::fwrite(trozo.data(), 1, trozo.size(), tuberia);
            std::fflush(tuberia);
            kexo.senal(senal);
            std::fclose(tuberia);
        }
        EXPECT_EQ(128 + senal, kexo.espera().estado);
        EXPECT_EQ("antes", lee_fichero(escena / "b.php"));
        EXPECT_EQ((std::set<std::string>{"a.php", "b.php"}), nombres(escena.ruta()));
    }
}

// A notice file that is a FIFO gives no notice, and nothing waits for it.
TEST(Destino, AvisoQueEsUnaTuberia) {
    const carpeta_temporal escena;
    escribe_fichero(escena / "a.php", "x");
    ASSERT_EQ(0, mkfifo((escena / "kexo.ini").c_str(), 0600));
    const resultado r = ejecuta({"/usr/bin/timeout", "10", KEXO_BINARIO, "a.php", "b.php"},
                                entorno_sin_phprc({"PHPRC=."}), escena.ruta());
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ("x", lee_fichero(escena / "b.php"));
}

// As a user without privileges: a read-only destination is refused as before,
// and a read-only folder has its writable file written in place.
// A destination that may not be written is refused with the same error
// number everywhere: run as a user without privileges (as `nobody` when the
// tests run as root, which may write anything).
TEST(Destino, SinPrivilegios) {
    const bool como_root = geteuid() == 0;
    const carpeta_temporal escena;
    fs::permissions(escena.ruta(), fs::perms(0755));
    const fs::path carpeta = escena / "solo_lectura";
    fs::create_directory(carpeta);
    escribe_fichero(carpeta / "a.php", "x // y");
    escribe_fichero(carpeta / "b.php", "antes");
    escribe_fichero(carpeta / "c.php", "antes");
    fs::permissions(carpeta / "b.php", fs::perms(0666));
    fs::permissions(carpeta / "c.php", fs::perms(0444));
    fs::permissions(carpeta, fs::perms(0555));
    const std::string kexo =
        como_root ? copia_para_todos(KEXO_BINARIO, escena.ruta()) : std::string(KEXO_BINARIO);
    const limites usuario{0, como_root ? kNadie : 0};
    resultado r = corre(carpeta, "a.php", "c.php", usuario, kexo);
    EXPECT_EQ(1, r.estado);
    EXPECT_EQ("Imposible abrir fichero entrada 13\n", r.salida);
    EXPECT_EQ("antes", lee_fichero(carpeta / "c.php"));
    r = corre(carpeta, "a.php", "b.php", usuario, kexo);
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ("x", lee_fichero(carpeta / "b.php"));
    EXPECT_EQ((std::set<std::string>{"a.php", "b.php", "c.php"}), nombres(carpeta));
}

// A file system that fills up, or one shared through overlayfs: these need
// mounts, and are skipped where the test may not mount.
class Montaje : public ::testing::Test {
   protected:
    bool monta(const char* tipo, const fs::path& punto, const std::string& opciones) {
        return montajes_.monta(tipo, punto, opciones);
    }
    const carpeta_temporal escena_;
    montajes montajes_;
};

TEST_F(Montaje, DiscoLleno) {
    const fs::path lleno = escena_ / "lleno";
    if (!monta("tmpfs", lleno, "size=256k")) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    for (const std::size_t mb : {1u, 30u}) {  // written as it comes, and by a thread of its own
        escribe_fichero(escena_ / "a.php", grande(mb, 'a').bytes);
        escribe_fichero(lleno / "b.php", "antes");
        const resultado r = corre(escena_.ruta(), "a.php", "lleno/b.php");
        EXPECT_EQ(255, r.estado);
        EXPECT_EQ("antes", lee_fichero(lleno / "b.php"));
        EXPECT_EQ(std::set<std::string>{"b.php"}, nombres(lleno));
    }
}

// Through overlayfs one file shows as two, on different devices: the source
// is read whole before the destination takes its place, so it is never emptied.
TEST_F(Montaje, OverlayFs) {
    const fs::path abajo = escena_ / "abajo";
    const fs::path arriba = escena_ / "arriba";
    fs::create_directories(abajo);
    fs::create_directories(arriba);
    fs::create_directories(escena_ / "trabajo");
    escribe_fichero(abajo / "x.php", "a // b\r\n  c");
    escribe_fichero(abajo / "y.php", "a // b\r\n  c");
    if (!monta("overlay", escena_ / "unido",
               "lowerdir=" + abajo.string() + ",upperdir=" + arriba.string() +
                   ",workdir=" + (escena_ / "trabajo").string())) {
        GTEST_SKIP() << "cannot mount an overlayfs here";
    }
    EXPECT_EQ(0, corre(escena_.ruta(), "unido/x.php", "abajo/x.php").estado);
    EXPECT_EQ("a  c", lee_fichero(abajo / "x.php"));
    escribe_fichero(escena_ / "unido/y.php", "d // e\r\n  f");  // copied up
    EXPECT_EQ(0, corre(escena_.ruta(), "unido/y.php", "arriba/y.php").estado);
    EXPECT_EQ("d  f", lee_fichero(arriba / "y.php"));
}

}  // namespace

}  // namespace kexo
