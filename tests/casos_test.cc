// End to end, one case per folder of tests/cli. Each case runs in a fresh
// scratch folder that starts as a copy of its `in/`; the program gets the lines
// of `args` as arguments and the lines of `env` added to an environment
// without PHPRC ("{src}" in them is the project's folder); a `program` file
// names the program to run instead of kexo (kexo_traza, kexo-arbol); a `before` file holds the
// arguments of a run made first, in the same folder, whose output is not compared (the
// case is then a second run). Afterwards standard output
// must equal `stdout`, standard error `stderr` when the case has one, the exit status `status` (0
// when absent), and the scratch folder `in/` overlaid with `out/`, less the paths listed in
// `removed` (and what they held), nothing more. Under Wine, a `NAME.windows` file or folder
// replaces `NAME`, and without a `stdout.windows` every LF of `stdout` is expected as CR LF (text
// mode).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/escapa.h"
#include "tests/proceso.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

const fs::path kCasos = KEXO_CASOS;

// The case's file `nombre`, or its Windows variant when there is one.
fs::path del_sistema(const fs::path& caso, const std::string& nombre) {
    const fs::path variante = caso / (nombre + ".windows");
    return kWindows && fs::exists(variante) ? variante : caso / nombre;
}

// The lines of a file, each ended by LF, with "{src}" standing for the
// project's folder; an empty file has none.
std::vector<std::string> lineas(const fs::path& ruta) {
    std::vector<std::string> todas;
    const std::string texto = lee_fichero(ruta);
    for (std::size_t i = 0; i < texto.size();) {
        const std::size_t fin = std::min(texto.find('\n', i), texto.size());
        std::string linea = texto.substr(i, fin - i);
        for (std::size_t src; (src = linea.find("{src}")) != std::string::npos;) {
            linea.replace(src, 5, KEXO_FUENTES);
        }
        todas.push_back(linea);
        i = fin + 1;
    }
    return todas;
}

// The program the case runs: kexo, or the one its `program` file names.
std::string programa(const fs::path& caso) {
    const std::vector<std::string> nombre = lineas(caso / "program");
    if (nombre.empty()) {
        return KEXO_BINARIO;
    }
    return nombre[0] == "kexo_traza" ? KEXO_BINARIO_TRAZA : KEXO_BINARIO_ARBOL;
}

// What the case expects on the stream `nombre` ("stdout", "stderr").
std::string salida_esperada(const fs::path& caso, const std::string& nombre = "stdout") {
    const std::string esperada = lee_fichero(del_sistema(caso, nombre));
    if (!kWindows || fs::exists(caso / (nombre + ".windows"))) {
        return esperada;
    }
    std::string con_cr;
    for (const char c : esperada) {
        con_cr += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return con_cr;
}

// What the program wrote on standard error: under Wine, less Wine's own
// lines (its launcher's advice), which end in LF alone where the program's,
// in text mode, end in CR LF.
std::string errores_del_programa(const std::string& errores) {
    if (!kWindows) {
        return errores;
    }
    std::string suyos;
    for (std::size_t i = 0; i < errores.size();) {
        const std::size_t fin = std::min(errores.find('\n', i), errores.size() - 1) + 1;
        if (fin - i >= 2 && errores[fin - 2] == '\r') {
            suyos += errores.substr(i, fin - i);
        }
        i = fin;
    }
    return suyos;
}

// Each entry under `raiz` by relative path: a file's bytes, a link's target
// behind "-> ", a folder as "/".
using arbol = std::map<std::string, std::string>;

void anade_arbol(const fs::path& raiz, arbol& entradas) {
    if (!fs::exists(raiz)) {
        return;
    }
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        // Lexically: a link is named by where it is, not where it leads.
        const std::string nombre = i->path().lexically_relative(raiz).string();
        if (i->is_symlink()) {
            entradas[nombre] = "-> " + fs::read_symlink(i->path()).string();
        } else if (i->is_directory()) {
            entradas[nombre] = "/";
        } else {
            entradas[nombre] = lee_fichero(i->path());
        }
    }
}

std::vector<std::string> casos() {
    std::vector<std::string> nombres;
    for (const auto& entrada : fs::directory_iterator(kCasos)) {
        nombres.push_back(entrada.path().filename().string());
    }
    std::sort(nombres.begin(), nombres.end());
    return nombres;
}

class Caso : public ::testing::TestWithParam<std::string> {};

TEST_P(Caso, Cli) {
    const fs::path caso = kCasos / GetParam();
    if (programa(caso).empty()) {
        GTEST_SKIP() << "its program was not built";
    }
    const carpeta_temporal escena;
    if (fs::exists(caso / "in")) {
        fs::copy(caso / "in", escena.ruta(),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    const std::vector<std::string> entorno = entorno_sin_phprc(lineas(del_sistema(caso, "env")));
    if (fs::exists(caso / "before")) {
        ejecuta(orden_de(programa(caso), lineas(caso / "before")), entorno, escena.ruta());
    }
    const resultado r =
        ejecuta(orden_de(programa(caso), lineas(caso / "args")), entorno, escena.ruta());

    EXPECT_EQ(escapa(salida_esperada(caso)), escapa(r.salida));
    if (fs::exists(caso / "stderr")) {
        EXPECT_EQ(escapa(salida_esperada(caso, "stderr")), escapa(errores_del_programa(r.errores)));
    }
    const fs::path estado = del_sistema(caso, "status");
    EXPECT_EQ(fs::exists(estado) ? std::stoi(lee_fichero(estado)) : 0, r.estado);
    arbol esperado;
    anade_arbol(caso / "in", esperado);
    for (const std::string& quitada : lineas(del_sistema(caso, "removed"))) {
        for (auto i = esperado.begin(); i != esperado.end();) {
            const bool dentro = i->first == quitada || i->first.rfind(quitada + "/", 0) == 0 ||
                                i->first.rfind(quitada + "\\", 0) == 0;
            i = dentro ? esperado.erase(i) : std::next(i);
        }
    }
    anade_arbol(del_sistema(caso, "out"), esperado);
    arbol hallado;
    anade_arbol(escena.ruta(), hallado);
    for (const auto& [nombre, bytes] : esperado) {
        EXPECT_EQ(escapa(bytes), escapa(hallado.count(nombre) ? hallado[nombre] : "(missing)"))
            << nombre;
    }
    for (const auto& [nombre, bytes] : hallado) {
        EXPECT_TRUE(esperado.count(nombre)) << "unexpected " << nombre;
    }
}

INSTANTIATE_TEST_SUITE_P(Casos, Caso, ::testing::ValuesIn(casos()),
                         [](const ::testing::TestParamInfo<std::string>& parametro) {
                             std::string nombre = parametro.param;
                             std::replace(nombre.begin(), nombre.end(), '-', '_');
                             return nombre;
                         });

}  // namespace

}  // namespace kexo
