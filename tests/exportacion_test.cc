// --excluye-gitattributes: what `.gitattributes` files mark export-ignore,
// judged against `git archive --worktree-attributes` (the program reads the
// working tree, as that option makes git do) on written and generated trees,
// and the removal of entries from a walk's result.
#include "tree/exportacion.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "tests/proceso.h"
#include "tree/recorrido.h"

namespace kexo {
namespace {

namespace fs = std::filesystem;

// Rows checked without git: what git 2.39 does with each, which the judge
// below confirms on a real repository.
TEST(Exportacion, Atributos) {
    const struct {
        std::map<std::string, std::string> ficheros;  // folder -> .gitattributes
        const char* ruta;
        bool carpeta;
        bool fuera;
    } casos[] = {
        {{{"", "/a export-ignore\n"}}, "a", false, true},
        {{{"", "/a export-ignore\n"}}, "s/a", false, false},
        {{{"", "a export-ignore\n"}}, "s/t/a", false, true},
        {{{"s", "a/b export-ignore\n"}}, "s/a/b", false, true},
        {{{"s", "a/b export-ignore\n"}}, "s/x/a/b", false, false},
        {{{"s", "b export-ignore\n"}}, "b", false, false},
        {{{"", "**/tests export-ignore\n"}}, "x/y/tests", true, true},
        {{{"", "docs/** export-ignore\n"}}, "docs", true, false},
        {{{"", "docs/** export-ignore\n"}}, "docs/a/b", false, true},
        {{{"", "tests/ export-ignore\n"}}, "a/tests", true, true},
        {{{"", "tests/ export-ignore\n"}}, "a/tests", false, false},
        {{{"", "*.md export-ignore\n"}, {"s", "*.md -export-ignore\n"}}, "s/r.md", false, false},
        {{{"", "*.md export-ignore\n"}, {"s", "*.md !export-ignore\n"}}, "s/r.md", false, false},
        {{{"", "*.md export-ignore\n"}, {"s", "*.md -export-ignore\n"}}, "r.md", false, true},
        {{{"", "a export-ignore\na -export-ignore\n"}}, "a", false, false},
        {{{"", "a export-ignore -export-ignore\n"}}, "a", false, false},
        {{{"", "a export-ignore=1\n"}}, "a", false, false},
        {{{"", "a export-ignore b@d\n"}}, "a", false, false},
        {{{"", "!a export-ignore\n"}}, "a", false, false},
        {{{"", "\\!a export-ignore\n"}}, "!a", false, true},
        {{{"", "\"x y\" export-ignore\n"}}, "s/x y", false, true},
        {{{"", "\"\\303\\251\"\texport-ignore\r\n"}}, "\xC3\xA9", false, true},
        {{{"",
           "\xEF\xBB\xBF"
           "a export-ignore\n"}},
         "a",
         false,
         true},
        {{{"", "[attr]fuera export-ignore\na fuera\n"}}, "a", false, true},
        {{{"", "a fuera\n[attr]fuera export-ignore\n"}}, "a", false, true},
        {{{"", "a -fuera\n[attr]fuera export-ignore\n"}}, "a", false, false},
        {{{"s", "[attr]fuera export-ignore\na fuera\n"}}, "s/a", false, false},
        {{{"", "a export-ignore " + std::string(2048, 'x') + "\n"}}, "a", false, false},
    };
    for (const auto& c : casos) {
        atributos_exportacion atributos;
        std::vector<std::string> avisos;
        for (const auto& [carpeta, texto] : c.ficheros) {
            atributos.anade_fichero(carpeta, texto, avisos);
        }
        EXPECT_EQ(c.fuera, atributos.marcada(c.ruta, c.carpeta))
            << c.ficheros.rbegin()->second << " " << c.ruta;
    }
}

// The removal keeps each entry's folder and first name of a file right.
TEST(Exportacion, QuitaEntradas) {
    std::vector<entrada> entradas;
    for (const char* ruta : {"a", "a/b", "a/b/1", "a/c", "d", "d/1", "d/2", "e"}) {
        const bool carpeta = std::string(ruta).find('.') == std::string::npos &&
                             std::string("a a/b d").find(ruta) != std::string::npos;
        entradas.push_back({ruta, carpeta ? tipo_entrada::carpeta : tipo_entrada::otro});
    }
    // a/b/1, a/c, d/2 and e are one file; d/1 and e another.
    for (const char* ruta : {"a/b/1", "a/c", "d/2"}) {
        for (entrada& e : entradas) {
            e.varios_nombres = e.varios_nombres || e.ruta == ruta;
            e.numero = e.ruta == ruta ? 7 : e.numero;
        }
    }
    entradas[5].varios_nombres = entradas[7].varios_nombres = true;
    entradas[5].numero = entradas[7].numero = 9;
    quita_entradas(
        entradas, [](const entrada&) { return false; }, false);
    ASSERT_EQ(entradas[3].principal, 2u);
    quita_entradas(
        entradas, [](const entrada& e) { return e.ruta == "a/b" || e.ruta == "d/1"; }, false);
    std::vector<std::string> quedan;
    for (const entrada& e : entradas) {
        quedan.push_back(e.ruta + " " + (e.padre == kNinguna ? "-" : entradas[e.padre].ruta) + " " +
                         (e.principal == kNinguna ? "-" : entradas[e.principal].ruta));
    }
    EXPECT_EQ((std::vector<std::string>{"a - -", "a/c a -", "d - -", "d/2 d a/c", "e - -"}),
              quedan);
    // With -s, a folder left holding no file goes too.
    quita_entradas(
        entradas, [](const entrada& e) { return e.ruta == "a/c"; }, true);
    EXPECT_EQ(3u, entradas.size());
    EXPECT_EQ("d", entradas[0].ruta);
    EXPECT_EQ(0u, entradas[1].padre);
    EXPECT_EQ(kNinguna, entradas[1].principal);
}

// The program `nombre` as PATH finds it, or "" when it is not there.
std::string en_path(const std::string& nombre) {
    const char* path = std::getenv("PATH");
    for (std::string resto = path != nullptr ? path : ""; !resto.empty();) {
        const std::size_t dos_puntos = std::min(resto.find(':'), resto.size());
        const fs::path candidato = fs::path(resto.substr(0, dos_puntos)) / nombre;
        if (access(candidato.c_str(), X_OK) == 0) {
            return candidato.string();
        }
        resto.erase(0, dos_puntos + 1);
    }
    return "";
}

// The paths a tar archive holds, folders without their trailing `/`: ustar
// names, with the pax `path` records git writes for long ones.
std::set<std::string> nombres_tar(const std::string& tar) {
    std::set<std::string> nombres;
    std::string largo;
    for (std::size_t i = 0; i + 512 <= tar.size();) {
        const std::string_view cabecera(tar.data() + i, 512);
        if (cabecera.find_first_not_of('\0') == std::string_view::npos) {
            break;
        }
        const auto campo = [&cabecera](std::size_t desde, std::size_t n) {
            const std::string_view c = cabecera.substr(desde, n);
            return std::string(c.substr(0, c.find('\0')));
        };
        const std::size_t tamano = std::stoul(campo(124, 12), nullptr, 8);
        const std::string datos = tar.substr(i + 512, tamano);
        const char tipo = cabecera[156];
        i += 512 + (tamano + 511) / 512 * 512;
        if (tipo == 'x') {
            for (std::size_t p = 0; p < datos.size();) {
                const std::size_t espacio = datos.find(' ', p);
                const std::size_t largo_registro = std::stoul(datos.substr(p, espacio - p));
                const std::string registro =
                    datos.substr(espacio + 1, p + largo_registro - espacio - 2);
                if (registro.rfind("path=", 0) == 0) {
                    largo = registro.substr(5);
                }
                p += largo_registro;
            }
            continue;
        }
        if (tipo == 'g') {
            continue;
        }
        const std::string prefijo = campo(345, 155);
        std::string nombre =
            !largo.empty() ? largo : (prefijo.empty() ? "" : prefijo + "/") + campo(0, 100);
        largo.clear();
        if (!nombre.empty() && nombre.back() == '/') {
            nombre.pop_back();
        }
        nombres.insert(nombre);
    }
    return nombres;
}

struct listado {
    std::set<std::string> ficheros;
    std::set<std::string> carpetas;
};

// What git archive ships of the tree at `raiz`, committed in a fresh repository there.
listado segun_git(const std::string& git, const fs::path& raiz, const fs::path& casa) {
    const std::vector<std::string> entorno = entorno_sin_phprc(
        {"HOME=" + casa.string(), "GIT_CONFIG_NOSYSTEM=1", "GIT_CONFIG_GLOBAL=/dev/null"});
    const std::vector<std::string> con = {git,           "-c", "core.autocrlf=false", "-c",
                                          "user.name=k", "-c", "user.email=k@k"};
    for (const std::vector<std::string>& orden :
         {std::vector<std::string>{"init", "-q", "--template=", "."},
          {"add", "-A"},
          {"commit", "-q", "--allow-empty", "-m", "arbol"}}) {
        std::vector<std::string> toda = con;
        toda.insert(toda.end(), orden.begin(), orden.end());
        const resultado r = ejecuta(toda, entorno, raiz);
        EXPECT_EQ(0, r.estado) << orden[0] << ": " << r.errores;
    }
    std::vector<std::string> archiva = con;
    archiva.insert(archiva.end(), {"archive", "--worktree-attributes", "--format=tar", "HEAD"});
    const resultado r = ejecuta(archiva, entorno, raiz);
    EXPECT_EQ(0, r.estado) << r.errores;
    listado hay;
    const std::set<std::string> nombres = nombres_tar(r.salida);
    for (const std::string& n : nombres) {
        const bool carpeta = fs::is_directory(fs::symlink_status(raiz / n));
        (carpeta ? hay.carpetas : hay.ficheros).insert(n);
    }
    return hay;
}

// What kexo-arbol keeps of the tree at `raiz` with --excluye-gitattributes.
listado segun_kexo(const fs::path& raiz) {
    carpeta abierta;
    EXPECT_EQ(0, abre_carpeta(raiz.string(), abierta));
    filtro que{{"php"}, {}, false};
    que.excluidos.anade("/.git");
    que.exporta = true;
    recorrido hallado = recorre(abierta, que, {});
    std::vector<std::string> avisos;
    std::string ilegible;
    EXPECT_EQ(0, quita_exportadas(abierta, que, hallado, avisos, ilegible)) << ilegible;
    listado hay;
    for (const entrada& e : hallado.entradas) {
        (e.tipo == tipo_entrada::carpeta ? hay.carpetas : hay.ficheros).insert(e.ruta);
    }
    return hay;
}

// A tree: its files (a path ending in `/` is an empty folder's), and the
// .gitattributes of its folders.
struct arbol_caso {
    std::vector<std::string> ficheros;
    std::map<std::string, std::string> atributos;
    std::string enlace = "";  // a folder whose .gitattributes is a link to its `attrs`,
                              // which leaves out every `b`
};

// Compares the two on `caso`: the same files; every folder git ships kept,
// and every folder kept that holds a file kept shipped (a folder emptied by
// export-ignore is git's to ship or not, as versions differ).
void juzga(const std::string& git, const arbol_caso& caso, const std::string& que) {
    const carpeta_temporal escena;
    const fs::path raiz = escena / "arbol";
    fs::create_directories(raiz);
    for (const std::string& f : caso.ficheros) {
        fs::create_directories((raiz / f).parent_path());
        escribe_fichero(raiz / f, f);
    }
    for (const auto& [carpeta, texto] : caso.atributos) {
        fs::create_directories(raiz / carpeta);
        escribe_fichero(raiz / carpeta / ".gitattributes", texto);
    }
    if (!caso.enlace.empty()) {
        escribe_fichero(raiz / caso.enlace / "attrs", "b export-ignore\n");
        fs::create_symlink("attrs", raiz / caso.enlace / ".gitattributes");
    }
    const listado de_git = segun_git(git, raiz, escena.ruta());
    const listado de_kexo = segun_kexo(raiz);
    std::string atributos;
    for (const auto& [carpeta, texto] : caso.atributos) {
        atributos += "[" + carpeta + "/.gitattributes]\n" + texto;
    }
    EXPECT_EQ(de_git.ficheros, de_kexo.ficheros) << que << "\n" << atributos;
    std::set<std::string> llenas;
    for (const std::string& f : de_kexo.ficheros) {
        for (std::size_t b = f.find('/'); b != std::string::npos; b = f.find('/', b + 1)) {
            llenas.insert(f.substr(0, b));
        }
    }
    for (const std::string& c : de_kexo.carpetas) {
        EXPECT_TRUE(de_git.carpetas.count(c) != 0 || llenas.count(c) == 0)
            << que << ": " << c << " kept, not shipped\n"
            << atributos;
    }
    for (const std::string& c : de_git.carpetas) {
        EXPECT_TRUE(de_kexo.carpetas.count(c) != 0) << que << ": " << c << " shipped, not kept\n"
                                                    << atributos;
    }
}

// The depths and forms where a packer goes wrong, each judged by git.
TEST(Exportacion, ComoGitArchiveEnCasosEscritos) {
    const std::string git = en_path("git");
    if (git.empty()) {
        GTEST_SKIP() << "no git to judge";
    }
    const std::vector<std::string> comunes = {
        "a/b",      "a/c",   "b",        "t/a",       "s/a/b",       "s/b",     "s/x/a/b",
        "s/x/b",    "x/a/b", "tests/t",  "s/tests/t", "s/x/tests/t", "docs/d",  "docs/e/f",
        "s/docs/d", "r.md",  "s/r.md",   "s/t/r.md",  "x y",         "s/x y",   "n#1",
        "[x]",      "!a",    "\xC3\xA9", "s/v/w",     "keep/k",      "keep/s/k"};
    const arbol_caso casos[] = {
        {comunes, {{"", "/a export-ignore\n"}}},
        {comunes, {{"", "a/b export-ignore\n"}}},
        {comunes, {{"s", "a/b export-ignore\n/b export-ignore\n"}}},
        {comunes, {{"s", "b export-ignore\n"}}},
        {comunes, {{"", "*.md export-ignore\n"}, {"s", "*.md -export-ignore\n"}}},
        {comunes, {{"", "*.md export-ignore\n"}, {"s/t", "*.md !export-ignore\n"}}},
        {comunes, {{"", "**/tests export-ignore\n"}}},
        {comunes, {{"s", "**/tests export-ignore\n"}}},
        {comunes, {{"", "docs/** export-ignore\n"}}},
        {comunes, {{"", "tests/ export-ignore\na/ export-ignore\ns/a/b/ export-ignore\n"}}},
        // A folder left out: nothing deeper takes its files back.
        {comunes, {{"", "keep export-ignore\n"}, {"keep", "k -export-ignore\n"}}},
        {comunes, {{"", ".gitattributes export-ignore\n"}, {"s", "a export-ignore\n"}}},
        {comunes, {{"", "\"x y\" export-ignore\n\"s/x y\" -export-ignore\n"}}},
        {comunes, {{"", "\\!a export-ignore\nn\\#1 export-ignore\n\\[x] export-ignore\n"}}},
        {comunes, {{"", "\"\\303\\251\" export-ignore\n\"\\q\" export-ignore\n"}}},
        {comunes, {{"", "!a export-ignore\nb export-ignore=1\n"}}},
        {comunes, {{"", "a export-ignore b@d\nb export-ignore -export-ignore\n"}}},
        {comunes, {{"", "[attr]fuera export-ignore\ns/a fuera\nb -fuera\n"}}},
        {comunes, {{"s", "[attr]fuera export-ignore\na fuera\n"}}},
        {comunes,
         {{"",
           "\xEF\xBB\xBF"
           "a export-ignore\r\n\t b\texport-ignore \r\n"}}},
        {comunes, {{"", "a export-ignore " + std::string(2040, 'x') + "\nb export-ignore\n"}}},
        {comunes, {{"", "* export-ignore\n"}, {"s", "a -export-ignore\n"}}},
        {comunes, {{"", "s/** export-ignore\n"}, {"s", "v -export-ignore\n"}}},
        {comunes, {{"", "a/**/b export-ignore\n**/x/** export-ignore\n"}}},
        {comunes, {{"s", "a/b export-ignore\n"}}, "s/x"},
    };
    int n = 0;
    for (const arbol_caso& c : casos) {
        juzga(git, c, "caso " + std::to_string(n++));
    }
}

// Generated trees, each with a few .gitattributes at several depths.
TEST(Exportacion, ComoGitArchiveEnArbolesGenerados) {
    const std::string git = en_path("git");
    if (git.empty()) {
        GTEST_SKIP() << "no git to judge";
    }
    const std::vector<std::string> nombres = {"a",    "b",        "tests",  "docs",    "src",
                                              "x y",  "r.md",     "c.md",   "[x]",     "n#1",
                                              "a.md", "\xC3\xA9", "a b.md", "tests.md"};
    const std::vector<std::string> patrones = {"/a",
                                               "a",
                                               "a/b",
                                               "b",
                                               "*.md",
                                               "**/tests",
                                               "docs/**",
                                               "tests/",
                                               "a/",
                                               "src/*",
                                               "a/**/b",
                                               "\"x y\"",
                                               "\"a b.md\"",
                                               "\\[x]",
                                               "[ab]",
                                               "?.md",
                                               "/docs",
                                               "**/b/**",
                                               ".gitattributes",
                                               "\"\\303\\251\"",
                                               "*",
                                               "n\\#1",
                                               "!b",
                                               "\"docs/\"",
                                               "src/**/*.md",
                                               "/*.md",
                                               "a/b/",
                                               "**/a",
                                               "docs/*/",
                                               "t*"};
    const std::vector<std::string> estados = {
        "export-ignore",  "export-ignore",      "-export-ignore",
        "!export-ignore", "export-ignore=x",    "fuera",
        "-fuera",         "text export-ignore", "export-ignore -export-ignore"};
    std::mt19937 azar(20240611);
    const auto uno = [&azar](const std::vector<std::string>& de) {
        return de[std::uniform_int_distribution<std::size_t>(0, de.size() - 1)(azar)];
    };
    const auto probable = [&azar](int por_ciento) {
        return std::uniform_int_distribution<int>(0, 99)(azar) < por_ciento;
    };
    for (int vez = 0; vez < 40; ++vez) {
        arbol_caso caso;
        std::vector<std::string> carpetas = {""};
        for (std::size_t i = 0; i < carpetas.size() && carpetas.size() < 12; ++i) {
            const std::string antes = carpetas[i].empty() ? "" : carpetas[i] + "/";
            const std::size_t hondura = carpetas[i].empty()
                                            ? 0
                                            : 1 + static_cast<std::size_t>(std::count(
                                                      carpetas[i].begin(), carpetas[i].end(), '/'));
            std::set<std::string> usados;
            for (int k = 0; k < 4; ++k) {
                const std::string nombre = uno(nombres);
                if (!usados.insert(nombre).second) {
                    continue;
                }
                if (hondura < 3 && probable(40)) {
                    carpetas.push_back(antes + nombre);
                    caso.ficheros.push_back(antes + nombre + "/f");
                } else {
                    caso.ficheros.push_back(antes + nombre);
                }
            }
        }
        for (const std::string& carpeta : carpetas) {
            if (!carpeta.empty() && !probable(35)) {
                continue;
            }
            std::string texto =
                carpeta.empty() && probable(50) ? "[attr]fuera export-ignore\n" : "";
            for (int k = std::uniform_int_distribution<int>(1, 4)(azar); k > 0; --k) {
                texto += uno(patrones) + " " + uno(estados) + "\n";
            }
            caso.atributos[carpeta] = texto;
        }
        juzga(git, caso, "arbol " + std::to_string(vez));
    }
}

}  // namespace
}  // namespace kexo
