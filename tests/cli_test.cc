// End to end: runs the built program in a scratch directory with real files and
// a real PHPRC, and checks its standard output, exit status and destination.
// Built twice: for the Linux program, and, with KEXO_WINE naming the loader,
// for the Windows program run under Wine, with what Windows does instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "compaction/compacta.h"
#include "notice/aviso.h"
#include "tests/escapa.h"

extern char** environ;

using namespace std::string_literals;
using namespace std::string_view_literals;
namespace fs = std::filesystem;

namespace {

#if defined(KEXO_WINE)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif
// The separator in the notice path, and the error numbers for opening a
// directory and a name too long.
constexpr char kSeparador = kWindows ? '\\' : '/';
constexpr int kErrorDirectorio = kWindows ? 13 : 21;
constexpr int kErrorNombreLargo = kWindows ? 2 : 36;

// Standard output as the program writes it: on Windows it is in text mode,
// so every LF goes out as CR LF.
std::string salida(std::string_view texto) {
    std::string escrito;
    for (const char c : texto) {
        if (kWindows && c == '\n') {
            escrito += '\r';
        }
        escrito += c;
    }
    return escrito;
}

std::string no_abre(int error) {
    return salida("Imposible abrir fichero entrada " + std::to_string(error) + "\n");
}

constexpr std::string_view kUso =
    "kexo. ** Error de par\xa0metros **\n"
    "Uso:    kexo <origen> <destinos>\n"
    "        <origen>    Nombre fichero origen.\n"
    "        <destino>   Nombre fichero destino.\n\n"sv;

struct resultado {
    std::string salida;
    int estado;
};

bool es_phprc(std::string_view variable) {
    if (variable.size() < 6 || variable[5] != '=') {
        return false;
    }
    for (std::size_t i = 0; i < 5; ++i) {
        if (std::toupper(static_cast<unsigned char>(variable[i])) != "PHPRC"[i]) {
            return false;
        }
    }
    return true;
}

// The environment with PHPRC (in any letter case) removed, then `nombre` set
// to `phprc` when given.
std::vector<std::string> entorno_con(const std::optional<std::string>& phprc,
                                     const char* nombre = "PHPRC") {
    std::vector<std::string> entorno;
    for (char** v = environ; *v != nullptr; ++v) {
        if (!es_phprc(*v)) {
            entorno.emplace_back(*v);
        }
    }
    if (phprc) {
        entorno.push_back(std::string(nombre) + "=" + *phprc);
    }
    return entorno;
}

std::vector<char*> punteros(std::vector<std::string>& textos) {
    std::vector<char*> lista;
    for (std::string& t : textos) {
        lista.push_back(t.data());
    }
    lista.push_back(nullptr);
    return lista;
}

// Runs `binario` with `argumentos` in `directorio` and collects its standard
// output; `memoria`, when not 0, limits the child's address space in bytes.
resultado ejecuta(const std::string& binario, std::vector<std::string> argumentos,
                  const std::vector<std::string>& entorno_hijo, const fs::path& directorio,
                  rlim_t memoria = 0) {
    argumentos.insert(argumentos.begin(), binario);
    std::vector<std::string> entorno = entorno_hijo;
    std::vector<char*> argv = punteros(argumentos);
    std::vector<char*> envp = punteros(entorno);
    int tubo[2];
    if (pipe(tubo) != 0) {
        ADD_FAILURE() << "pipe";
        return {"", -1};
    }
    const pid_t hijo = fork();
    if (hijo == 0) {
        dup2(tubo[1], STDOUT_FILENO);
        close(tubo[0]);
        close(tubo[1]);
        const rlimit limite{memoria, memoria};
        if (memoria != 0 && setrlimit(RLIMIT_AS, &limite) != 0) {
            _exit(126);
        }
        if (chdir(directorio.c_str()) == 0) {
            execve(binario.c_str(), argv.data(), envp.data());
        }
        _exit(127);
    }
    close(tubo[1]);
    std::string salida;
    char bloque[4096];
    for (ssize_t n; (n = read(tubo[0], bloque, sizeof bloque)) > 0;) {
        salida.append(bloque, static_cast<std::size_t>(n));
    }
    close(tubo[0]);
    int estado = 0;
    waitpid(hijo, &estado, 0);
    return {salida, WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado)};
}

std::string longitud(std::size_t n) {
    return salida("Longitud origen (" + std::to_string(n) + ")\n");
}

class Cli : public ::testing::Test {
   protected:
    void SetUp() override {
        char plantilla[] = "/tmp/kexo_cli_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(plantilla));
        dir_ = plantilla;
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir_, error);
    }
    void escribe(const fs::path& nombre, std::string_view bytes) {
        std::ofstream(dir_ / nombre, std::ios::binary) << bytes;
    }
    std::string lee(const fs::path& nombre) {
        std::ifstream archivo(dir_ / nombre, std::ios::binary);
        std::ostringstream bytes;
        bytes << archivo.rdbuf();
        return bytes.str();
    }
    bool existe(const fs::path& nombre) { return fs::exists(fs::symlink_status(dir_ / nombre)); }
    // Runs the program under test, under Wine for the Windows one.
    resultado corre(std::vector<std::string> argumentos,
                    const std::optional<std::string>& phprc = std::nullopt,
                    const std::string& binario = KEXO_BINARIO, const char* variable = "PHPRC") {
#if defined(KEXO_WINE)
        argumentos.insert(argumentos.begin(), binario);
        return ejecuta(KEXO_WINE, std::move(argumentos), entorno_con(phprc, variable), dir_);
#else
        return ejecuta(binario, std::move(argumentos), entorno_con(phprc, variable), dir_);
#endif
    }
    std::string dir() const {
        return dir_.string();
    }

    fs::path dir_;
};

struct caso_cli {
    const char* nombre;
    std::string_view fuente;
    std::optional<std::string_view> ini;  // kexo.ini in PHPRC's directory, if any
    std::string_view destino;
};

const std::string kAvisoLargo(1200, 'n');
const std::string kCabeceraLarga = "<?php\n// " + std::string(999, 'n') + "\n?>\nx";

const caso_cli kCasos[] = {
    {"with notice", "<?php\r\n  echo $a\r\n?>\r\n"sv, "Hecho por X\r\n"sv,
     "<?php\n// Hecho por X\n?>\n<?php echo $a \r\n?>\r\n"sv},
    {"without notice file", "<?php\r\n  echo $a\r\n?>\r\n"sv, std::nullopt,
     "<?php echo $a \r\n?>\r\n"sv},
    {"empty first line", "x"sv, "\r\nsegunda\r\n"sv, "x"sv},
    {"notice without line end", "x"sv, "Hecho  "sv, "<?php\n// Hecho  \n?>\nx"sv},
    {"notice cut at 999 bytes", "x"sv, kAvisoLargo, kCabeceraLarga},
    {"percent in notice", "x"sv, "100% %s\r\n"sv, "<?php\n// 100% %s\n?>\nx"sv},
    {"empty source", ""sv, std::nullopt, ""sv},
    {"empty result keeps header", "  \r\n// x"sv, "N\r\n"sv, "<?php\n// N\n?>\n"sv},
    {"0 and 0xFF are data", "\xff\0\xff\r\n\xff"sv, std::nullopt, "\xff\0\xff \xff"sv},
    {"LF file with comments", "<?php\n// a\necho 1; // b\n?>\n"sv, std::nullopt,
     "<?php\n\necho 1; \n?>\n"sv},
};

TEST_F(Cli, CompactaConYSinAviso) {
    for (const caso_cli& c : kCasos) {
        SCOPED_TRACE(c.nombre);
        fs::remove(dir_ / "kexo.ini");
        if (c.ini) {
            escribe("kexo.ini", *c.ini);
        }
        escribe("a.php", c.fuente);
        const resultado r = corre({"a.php", "b.php"}, dir());
        EXPECT_EQ(0, r.estado);
        EXPECT_EQ(longitud(c.fuente.size()), r.salida);
        EXPECT_EQ(escapa(c.destino), escapa(lee("b.php")));
    }
}

// Where the notice is looked for: PHPRC's value used as it is, its name in any
// letter case on Windows only; a notice that cannot be had is no failure.
TEST_F(Cli, BuscaElAviso) {
    escribe("kexo.ini", "N\r\n");
    escribe("a.php", "x");
    const std::string con_aviso = "<?php\n// N\n?>\nx";
    const struct {
        const char* variable;
        std::optional<std::string> valor;
        std::string destino;
    } casos[] = {
        {"PHPRC", std::nullopt, "x"},
        {"PHPRC", "", "x"},
        {"PHPRC", dir() + kSeparador, con_aviso},
        {"PHPRC", dir() + kSeparador + "falta", "x"},
        {"phprc", dir(), kWindows ? con_aviso : "x"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.valor.value_or("(unset)"));
        const resultado r = corre({"a.php", "b.php"}, c.valor, KEXO_BINARIO, c.variable);
        EXPECT_EQ(0, r.estado);
        EXPECT_EQ(longitud(1), r.salida);
        EXPECT_EQ(c.destino, lee("b.php"));
    }
    // A notice file that cannot be read.
    fs::remove(dir_ / "kexo.ini");
    fs::create_directory(dir_ / "kexo.ini");
    EXPECT_EQ(0, corre({"a.php", "b.php"}, dir()).estado);
    EXPECT_EQ("x", lee("b.php"));
}

// Sources of several read blocks, with the end of the text across blocks; the
// largest is read ahead on a second thread.
TEST_F(Cli, FuentesGrandes) {
    std::string codigo;
    for (int i = 0; codigo.size() < (9u << 20); ++i) {
        codigo += "  $a" + std::to_string(i) + " = 'x//y\\'; // c\r\n\t\"q\" /x/ \r";
    }
    const std::string casos[] = {
        codigo + "?>  \r\n",
        "x>" + std::string((3u << 19) + 7, ' ') + "Z",
        std::string((5u << 19) + 3, ' ') + std::string(5, '\0'),
        std::string(1u << 20, 'a') + "//" + std::string(1u << 20, 'b'),
    };
    escribe("kexo.ini", "N\n");
    for (const std::string& fuente : casos) {
        SCOPED_TRACE(fuente.size());
        escribe("a.php", fuente);
        const resultado r = corre({"a.php", "b.php"}, dir());
        EXPECT_EQ(0, r.estado);
        EXPECT_EQ(longitud(fuente.size()), r.salida);
        EXPECT_TRUE(texto_cabecera("N") + texto_emitido(compacta_fuente(fuente)) == lee("b.php"));
    }
}

TEST_F(Cli, DestinoSeReescribe) {
    escribe("a.php", "x");
    escribe("b.php", "un destino anterior mucho mas largo");
    ASSERT_EQ(0, corre({"a.php", "b.php"}).estado);
    EXPECT_EQ("x", lee("b.php"));
}

TEST_F(Cli, ArgumentosIncorrectos) {
    escribe("a.php", "x");
    for (const std::vector<std::string>& argumentos :
         {std::vector<std::string>{}, {"a.php"}, {"a.php", "b.php", "c.php"}}) {
        const resultado r = corre(argumentos);
        EXPECT_EQ(1, r.estado);
        EXPECT_EQ(escapa(salida(kUso)), escapa(r.salida));
        EXPECT_FALSE(existe("b.php"));
    }
}

TEST_F(Cli, FicherosQueNoSeAbren) {
    escribe("a.php", "x");
    fs::create_directory(dir_ / "carpeta");
    const std::string kSinPermiso = "/sys/kernel/notes";  // refused even to root
    const struct {
        std::string origen, destino, salida;
    } casos[] = {
        {"falta.php", "b.php", no_abre(2)},
        {"", "b.php", no_abre(2)},
        {"carpeta", "b.php", no_abre(kErrorDirectorio)},
        {std::string(5000, 'a'), "b.php", no_abre(kErrorNombreLargo)},
        {"a.php", "falta/b.php", no_abre(2)},
        {"a.php", "", no_abre(2)},
        {"a.php", "carpeta", no_abre(kErrorDirectorio)},
        {"a.php", std::string(5000, 'b'), no_abre(kErrorNombreLargo)},
        {"a.php", kSinPermiso, no_abre(13)},
    };
    for (const auto& c : casos) {
        if (c.destino == kSinPermiso && access(kSinPermiso.c_str(), F_OK) != 0) {
            continue;  // not on this system
        }
        SCOPED_TRACE(c.origen.substr(0, 20) + " " + c.destino.substr(0, 20));
        const resultado r = corre({c.origen, c.destino});
        EXPECT_EQ(1, r.estado);
        EXPECT_EQ(c.salida, r.salida);
        EXPECT_FALSE(existe("b.php"));
    }
    EXPECT_EQ("x", lee("a.php"));
}

TEST_F(Cli, MismoFicheroSeRechaza) {
    const std::string_view fuente = "<?php\r\n  echo 1; // uno\r\n?>\r\n"sv;
    escribe("a.php", fuente);
    fs::create_symlink("a.php", dir_ / "enlace.php");
    fs::create_hard_link(dir_ / "a.php", dir_ / "duro.php");
    for (const char* destino : {"a.php", "./a.php", "enlace.php", "duro.php"}) {
        SCOPED_TRACE(destino);
        const resultado r = corre({"a.php", destino});
        EXPECT_EQ(1, r.estado);
        EXPECT_EQ(salida("Origen y destino son el mismo fichero\n"), r.salida);
        EXPECT_EQ(escapa(fuente), escapa(lee("a.php")));
    }
}

TEST_F(Cli, ErrorDeEscrituraNoEsExito) {
    escribe("a.php", "x\r\n");
    const resultado r = corre({"a.php", "/dev/full"});
    EXPECT_EQ(255, r.estado);
    EXPECT_EQ(longitud(3), r.salida);
}

TEST_F(Cli, SinMemoriaNoEsUnFalloDuro) {
#if defined(KEXO_SANITIZADO) || defined(KEXO_WINE)
    GTEST_SKIP() << "the sanitizers and Wine need more address space than the limit";
#endif
    // 300 MB of 0 bytes after an `a`: all of them held back, since they may end the text.
    escribe("a.php", "a");
    fs::resize_file(dir_ / "a.php", 300u << 20);
    const resultado r =
        ejecuta(KEXO_BINARIO, {"a.php", "b.php"}, entorno_con(std::nullopt), dir_, 200u << 20);
    EXPECT_EQ(1, r.estado);
    EXPECT_EQ("Memoria insuficiente\n", r.salida);
}

TEST_F(Cli, OrigenDesdeUnaTuberia) {
    if (kWindows) {
        GTEST_SKIP() << "no /dev/stdin on Windows";
    }
    const resultado r =
        ejecuta("/bin/sh",
                {"-c", std::string("printf 'a\\r\\n  b' | ") + KEXO_BINARIO + " /dev/stdin b.php"},
                entorno_con(std::nullopt), dir_);
    EXPECT_EQ(0, r.estado);
    EXPECT_EQ(longitud(6), r.salida);
    EXPECT_EQ("a b", lee("b.php"));
}

TEST_F(Cli, Trazas) {
    escribe("kexo.ini", "Hecho\r\n");
    escribe("a.php", "x?> \r\n");
    const resultado r = corre({"a.php", "b.php"}, dir(), KEXO_BINARIO_TRAZA);
    EXPECT_EQ(0, r.estado);
    const std::string esperado =
        "lee_copyright. inicio\n"
        "lee_copyright. PHPRC=" +
        dir() +
        "\n"
        "lee_copyright. abre (" +
        dir() + kSeparador +
        "kexo.ini)\n"
        "scopy. ultimo: r=6  [0:\0,a:\n,6f:c]\n"s
        "lee_copyright. lee (Hecho)\n"
        "Longitud origen (6)\n"
        "antes: r=5  [0:\0,20: ,20:c]\n"s
        "tras blancos: r=2  [3e:>,3f:?,78:c]\n"
        "dentro de if: r=2  [3e:>,3f:?,78:c]\n"
        "despues: r=6  [a:\n,d:\r,3e:c]\n"
        "inicia escritura scopy=(Hecho)\n"
        "dentro escritura\n";
    EXPECT_EQ(escapa(salida(esperado)), escapa(r.salida));
    EXPECT_EQ("<?php\n// Hecho\n?>\nx\r\n?>\r\n", lee("b.php"));
}

TEST_F(Cli, TrazasDeBytesAltosYSinAviso) {
    escribe("a.php", "\xe1\r\n");
    const resultado r = corre({"a.php", "b.php"}, std::nullopt, KEXO_BINARIO_TRAZA);
    EXPECT_EQ(0, r.estado);
    const std::string esperado =
        "lee_copyright. inicio\n"
        "lee_copyright. PHPRC=\n"
        "Longitud origen (3)\n"
        "antes: r=2  [0:\0,20: ,ffffffe1:c]\n"s
        "tras blancos: r=0  [ffffffe1:\xe1,0:\0,0:c]\n"s
        "despues: r=0  [ffffffe1:\xe1,0:\0,0:c]\n"s
        "inicia escritura scopy=()\n";
    EXPECT_EQ(escapa(salida(esperado)), escapa(r.salida));
}

}  // namespace
