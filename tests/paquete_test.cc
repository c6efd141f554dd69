// The PHAR writer, judged by PHP's own phar extension: what it reads back
// from the archives written, whether it runs their stubs, and whether it
// refuses them spoilt.
#include "salida/paquete.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/resumen.h"
#include "salida/phar.h"
#include "tests/proceso.h"

namespace kexo {

namespace {

// How a test entry goes in: prepared whole, streamed in blocks of 3 bytes,
// streamed by a reader that fails, or with no bytes (a folder, a link).
enum class via { prepara, flujo, flujo_roto, sin_datos };

struct entrada_prueba {
    pieza_paquete pieza;
    std::string bytes;  // a hard link's: its target's, as PHP should read them
    via como = via::prepara;
};

entrada_prueba fichero(std::string ruta, std::string bytes, std::uint32_t modo, std::int64_t tiempo,
                       via como = via::prepara) {
    return {
        {std::move(ruta), clase_pieza_paquete::fichero, modo, tiempo, {}}, std::move(bytes), como};
}

entrada_prueba carpeta(std::string ruta, std::uint32_t modo, std::int64_t tiempo) {
    return {{std::move(ruta), clase_pieza_paquete::carpeta, modo, tiempo, {}}, {}, via::sin_datos};
}

entrada_prueba otro_nombre(std::string ruta, std::string objetivo, std::string bytes,
                           std::uint32_t modo, std::int64_t tiempo) {
    return {{std::move(ruta), clase_pieza_paquete::enlace_duro, modo, tiempo, std::move(objetivo)},
            std::move(bytes),
            via::sin_datos};
}

// Adds `e` as it says; returns the writer's answer.
int anade(escritor_paquete& escritor, const entrada_prueba& e) {
    std::size_t leidos = 0;
    const lector_bloques lee = [&](std::string& bloque) {
        if (e.como == via::flujo_roto && leidos > 0) {
            return EIO;
        }
        bloque = e.bytes.substr(leidos, 3);
        leidos += bloque.size();
        return 0;
    };
    switch (e.como) {
        case via::prepara:
            return escritor.anade(e.pieza, escritor.prepara(e.bytes));
        case via::flujo:
        case via::flujo_roto:
            return escritor.anade_flujo(e.pieza, lee);
        case via::sin_datos:
            break;
    }
    return escritor.anade(e.pieza);
}

// The archive of `entradas`, those streamed by a failing reader refused.
std::string phar_de(const opciones_paquete& como, const std::vector<entrada_prueba>& entradas) {
    sumidero_memoria salida;
    sumidero_memoria aparte;
    const auto escritor = crea_escritor(como, salida, aparte);
    EXPECT_NE(escritor, nullptr);
    if (escritor == nullptr) {
        return {};
    }
    for (const entrada_prueba& e : entradas) {
        EXPECT_EQ(anade(*escritor, e), e.como == via::flujo_roto ? EIO : 0) << e.pieza.ruta;
    }
    EXPECT_EQ(escritor->termina(), 0);
    return salida.bytes();
}

opciones_paquete opciones(firma_phar firma, bool comprime, std::string alias = "prueba") {
    opciones_paquete como;
    como.formato = formato_paquete::phar;
    como.firma = firma;
    como.comprime = comprime;
    como.alias = std::move(alias);
    return como;
}

// PHP's command-line program, or empty where there is none.
std::string php() {
    const char* path = std::getenv("PATH");
    std::istringstream carpetas(path == nullptr ? "" : path);
    for (std::string carpeta; std::getline(carpetas, carpeta, ':');) {
        const std::string ruta = carpeta + "/php";
        if (!carpeta.empty() && access(ruta.c_str(), X_OK) == 0) {
            return ruta;
        }
    }
    return {};
}

// PHP run on `argumentos` in `carpeta`, a PHAR's signature required.
resultado con_php(const std::vector<std::string>& argumentos, const carpeta_temporal& carpeta) {
    std::vector<std::string> orden = {php(), "-d", "phar.require_hash=1", "-d", "phar.readonly=0"};
    orden.insert(orden.end(), argumentos.begin(), argumentos.end());
    return ejecuta(orden, entorno_sin_phprc(), carpeta.ruta());
}

// tests/juez_phar.php's report on `archivo`, for `entradas`.
resultado juzga(const std::string& archivo, const std::vector<entrada_prueba>& entradas,
                const carpeta_temporal& carpeta) {
    std::vector<std::string> argumentos = {std::string(KEXO_FUENTES) + "/tests/juez_phar.php",
                                           archivo};
    for (const entrada_prueba& e : entradas) {
        argumentos.push_back(e.pieza.ruta);
    }
    return con_php(argumentos, carpeta);
}

std::string sha256_hex(std::string_view bytes) {
    static constexpr char kCifras[] = "0123456789abcdef";
    resumen suma(algoritmo_resumen::sha256);
    suma.anade(bytes);
    std::string h;
    for (const char c : suma.termina()) {
        const auto b = static_cast<unsigned char>(c);
        h += kCifras[b >> 4];
        h += kCifras[b & 15];
    }
    return h;
}

// What tests/juez_phar.php should report of an archive of `entradas`.
std::string esperado(std::string_view firma, const std::vector<entrada_prueba>& entradas,
                     bool comprime) {
    std::ostringstream s;
    std::size_t guardadas = 0;
    for (const entrada_prueba& e : entradas) {
        guardadas += e.como == via::flujo_roto ? 0 : 1;
    }
    s << firma << ' ' << guardadas << '\n';
    for (const entrada_prueba& e : entradas) {
        s << e.pieza.ruta;
        if (e.como == via::flujo_roto) {
            s << " falta\n";
            continue;
        }
        const bool es_carpeta = e.pieza.clase == clase_pieza_paquete::carpeta;
        // PHP gives every folder every permission bit.
        s << (es_carpeta ? " carpeta " : " fichero ") << std::oct
          << (es_carpeta ? 0777 : e.pieza.modo) << std::dec << ' ' << e.pieza.tiempo;
        if (!es_carpeta) {
            s << (comprime ? " gz " : " - ") << sha256_hex(e.bytes) << " crc";
        }
        s << '\n';
    }
    return s.str();
}

const std::string kRun = "#!/usr/bin/env php\n<?php echo 1;\n";

// Every kind of entry, those with bytes going in as `como` says.
std::vector<entrada_prueba> entradas_variadas(via como) {
    return {
        fichero("index.php", "<?php echo 'hola';\n", 0644, 1700000000, como),
        fichero("bin/run", kRun, 0755, 1600000000, como),
        fichero("\xc3\xb1"
                "and\xc3\xba/canci\xc3\xb3n.txt",
                "canci\xc3\xb3n\n", 0600, 1234567890, como),
        fichero("vacio", "", 0640, 0, como),
        fichero("datos.bin", std::string("\0\x01\xff__HALT_COMPILER(); ?>\r\n", 26), 0444, 86400,
                como),
        fichero("grande.txt", std::string(70000, 'a') + "fin", 0664, 4000000000, como),
        fichero("roto.php", "<?php nunca;", 0644, 5, via::flujo_roto),
        carpeta("docs/vac\xc3\xad"
                "a",
                0750, 1500000000),
        otro_nombre("bin/otro", "bin/run", kRun, 0755, 1600000000),
    };
}

TEST(PaquetePhar, PhpLeeCadaEntrada) {
    if (php().empty()) {
        GTEST_SKIP() << "php not installed";
    }
    const struct {
        const char* nombre;
        firma_phar firma;
        bool comprime;
        via como;
        const char* tipo;
    } kCasos[] = {
        {"sha256", firma_phar::sha256, false, via::prepara, "SHA-256"},
        {"sha512", firma_phar::sha512, false, via::flujo, "SHA-512"},
        {"gz", firma_phar::sha256, true, via::prepara, "SHA-256"},
        {"gz por bloques", firma_phar::sha512, true, via::flujo, "SHA-512"},
    };
    for (const auto& caso : kCasos) {
        SCOPED_TRACE(caso.nombre);
        const carpeta_temporal carpeta;
        const std::vector<entrada_prueba> entradas = entradas_variadas(caso.como);
        escribe_fichero(carpeta / "a.phar", phar_de(opciones(caso.firma, caso.comprime), entradas));
        const resultado r = juzga((carpeta / "a.phar").string(), entradas, carpeta);
        EXPECT_EQ(r.estado, 0) << r.errores;
        EXPECT_EQ(r.salida, esperado(caso.tipo, entradas, caso.comprime));
    }
}

// One byte changed anywhere the signature covers, or in the signature: PHP
// refuses the archive.
TEST(PaquetePhar, PhpRechazaUnByteCambiado) {
    if (php().empty()) {
        GTEST_SKIP() << "php not installed";
    }
    const std::vector<entrada_prueba> entradas = {
        fichero("a.php", "<?php echo 'intacto';", 0644, 7)};
    const std::string bueno = phar_de(opciones(firma_phar::sha256, false), entradas);
    const struct {
        const char* nombre;
        std::size_t donde;
    } kCasos[] = {
        {"none (the control)", std::string::npos},
        {"a file's bytes", bueno.find("intacto")},
        {"an entry's name in the manifest", bueno.find("a.php")},
        {"the alias", bueno.find("prueba", bueno.find("__HALT"))},
        {"the stub", bueno.find("mapPhar")},
        {"the signature", bueno.size() - 9},
    };
    for (const auto& caso : kCasos) {
        SCOPED_TRACE(caso.nombre);
        std::string bytes = bueno;
        if (caso.donde != std::string::npos) {
            ASSERT_LT(caso.donde, bytes.size());
            bytes[caso.donde] = static_cast<char>(bytes[caso.donde] ^ 1);
        }
        const carpeta_temporal carpeta;
        escribe_fichero(carpeta / "a.phar", bytes);
        const resultado r = juzga((carpeta / "a.phar").string(), entradas, carpeta);
        if (caso.donde == std::string::npos) {
            EXPECT_EQ(r.estado, 0) << r.errores;
        } else {
            EXPECT_NE(r.estado, 0) << r.salida;
        }
    }
}

// The default stubs: a program's runs its script from `php app.phar`; a
// library's lets whoever requires it include its files through its alias.
TEST(PaquetePhar, PhpEjecutaElStub) {
    if (php().empty()) {
        GTEST_SKIP() << "php not installed";
    }
    const std::string principal =
        "#!/usr/bin/env php\n<?php echo 'principal ', basename(__FILE__), ' ', "
        "include __DIR__ . '/../lib/f.php', \"\\n\";\n";
    const std::string f = "<?php return 'f';";
    const struct {
        const char* nombre;
        std::string alias;
        std::string ruta;  // the main script; none: a library
        std::string salida;
    } kCasos[] = {
        {"program", "app", "bin/main.php", "principal main.php f\n"},
        {"program, quotes in its names", "o'k", "bin/it's.php", "principal it's.php f\n"},
        {"program without an alias", "", "bin/main.php", "principal main.php f\n"},
        {"library", "biblio", "", "f"},
    };
    for (const auto& caso : kCasos) {
        SCOPED_TRACE(caso.nombre);
        opciones_paquete como = opciones(firma_phar::sha256, false, caso.alias);
        como.stub = stub_phar(caso.alias, caso.ruta);
        std::vector<entrada_prueba> entradas = {fichero("lib/f.php", f, 0644, 1)};
        if (!caso.ruta.empty()) {
            entradas.push_back(fichero(caso.ruta, principal, 0755, 1));
        }
        const carpeta_temporal carpeta;
        escribe_fichero(carpeta / "app.phar", phar_de(como, entradas));
        const resultado r =
            caso.ruta.empty()
                ? con_php({"-r", "require $argv[1]; echo include 'phar://biblio/lib/f.php';",
                           (carpeta / "app.phar").string()},
                          carpeta)
                : con_php({(carpeta / "app.phar").string()}, carpeta);
        EXPECT_EQ(r.estado, 0) << r.errores;
        EXPECT_EQ(r.salida, caso.salida);
    }
}

// A user's stub: PHP reads the archive behind those the writer takes; the
// writer refuses the rest, with which PHP would find no manifest or lose
// part of the stub.
TEST(PaquetePhar, StubDelUsuario) {
    const struct {
        std::string stub;
        bool valido;
    } kCasos[] = {
        {"<?php echo 'x'; __HALT_COMPILER();", true},
        {"#!/usr/bin/env php\n<?php __HALT_COMPILER(); ?>", true},
        {"<?php __HALT_COMPILER();\n?>\r\n", true},
        {"<?php __HALT_COMPILER();  \n", true},
        {"<?php __halt_compiler();", false},
        {"<?php echo '__HALT_COMPILER();'; __HALT_COMPILER();", false},
        {"<?php __HALT_COMPILER(); ?>\nmore", false},
        {"<?php echo 1;", false},
        {"", false},
    };
    const std::string juez = php();
    for (const auto& caso : kCasos) {
        SCOPED_TRACE(caso.stub);
        EXPECT_EQ(stub_valido(caso.stub), caso.valido);
        opciones_paquete como = opciones(firma_phar::sha512, false);
        como.stub = caso.stub;
        sumidero_memoria salida;
        sumidero_memoria aparte;
        const auto escritor = crea_escritor(como, salida, aparte);
        const entrada_prueba e = fichero("a", "b", 0644, 1);
        const int error = anade(*escritor, e);
        if (caso.stub.empty()) {  // the default stub
            continue;
        }
        if (!caso.valido) {
            EXPECT_EQ(error, EINVAL);
            continue;
        }
        ASSERT_EQ(error, 0);
        ASSERT_EQ(escritor->termina(), 0);
        if (!juez.empty()) {
            const carpeta_temporal carpeta;
            escribe_fichero(carpeta / "a.phar", salida.bytes());
            const resultado r = juzga((carpeta / "a.phar").string(), {e}, carpeta);
            EXPECT_EQ(r.salida, esperado("SHA-512", {e}, false)) << r.errores;
        }
    }
}

// A sink that keeps nothing: a file too large for the format, streamed.
class sumidero_nulo final : public sumidero {
   public:
    int escribe(std::string_view bytes) override {
        tamano_ += bytes.size();
        return 0;
    }
    int escribe_en(std::uint64_t, std::string_view) override { return 0; }
    int lee_en(std::uint64_t, char*, std::size_t) override { return EIO; }
    std::uint64_t tamano() const override { return tamano_; }

   private:
    std::uint64_t tamano_ = 0;
};

// What the writer refuses, each on a fresh writer that holds "a" (a file)
// and "d" (a folder).
TEST(PaquetePhar, Rechazos) {
    const struct {
        const char* nombre;
        std::string alias;
        entrada_prueba entrada;
        int error;
    } kCasos[] = {
        {"a symbolic link",
         "p",
         {{"l", clase_pieza_paquete::enlace, 0777, 1, "a"}, {}, via::sin_datos},
         EINVAL},
        {"an empty path", "p", fichero("", "x", 0644, 1), EINVAL},
        {"a path ending in /", "p", carpeta("e/", 0755, 1), EINVAL},
        {"a path starting with /", "p", fichero("/e", "x", 0644, 1), EINVAL},
        {"a path with //", "p", fichero("e//f", "x", 0644, 1), EINVAL},
        {"a path with ..", "p", fichero("e/../f", "x", 0644, 1), EINVAL},
        {"PHP's own .phar folder", "p", fichero(".phar/stub.php", "x", 0644, 1), EINVAL},
        {"a path already added", "p", fichero("a", "x", 0644, 1, via::flujo), EEXIST},
        {"a folder's path", "p", fichero("d", "x", 0644, 1), EEXIST},
        {"a folder on a file's path", "p", carpeta("a", 0755, 1), EEXIST},
        {"another name of nothing", "p", otro_nombre("h", "z", "", 0644, 1), ENOENT},
        {"another name of a folder", "p", otro_nombre("h", "d", "", 0644, 1), EINVAL},
        {"an alias PHP refuses", "p:q", fichero("e", "x", 0644, 1), EINVAL},
    };
    for (const auto& caso : kCasos) {
        SCOPED_TRACE(caso.nombre);
        sumidero_memoria salida;
        sumidero_memoria aparte;
        const auto escritor =
            crea_escritor(opciones(firma_phar::sha256, false, caso.alias), salida, aparte);
        const bool alias_bueno = alias_valido(caso.alias);
        EXPECT_EQ(anade(*escritor, fichero("a", "x", 0644, 1)), alias_bueno ? 0 : EINVAL);
        EXPECT_EQ(anade(*escritor, carpeta("d", 0755, 1)), alias_bueno ? 0 : EINVAL);
        EXPECT_EQ(anade(*escritor, caso.entrada), caso.error);
    }

    // PHP reads no PHAR without entries.
    sumidero_memoria salida;
    sumidero_memoria aparte;
    EXPECT_EQ(crea_escritor(opciones(firma_phar::sha256, false), salida, aparte)->termina(),
              EINVAL);

    // A file of 4 GiB: 32 bits hold no size that large.
    const pieza_paquete grande{"g", clase_pieza_paquete::fichero, 0644, 1, {}};
    sumidero_nulo nulo;
    const auto escritor = crea_escritor(opciones(firma_phar::sha256, false), salida, nulo);
    datos_pieza datos;
    datos.tamano = std::uint64_t{1} << 32;
    datos.comprimidos = true;
    EXPECT_EQ(escritor->anade(grande, datos), EFBIG);
    const std::string mega(std::size_t{1} << 20, 'x');
    std::uint64_t dados = 0;
    const lector_bloques lee = [&](std::string& bloque) {
        bloque = dados < (std::uint64_t{4} << 30) ? mega : std::string();
        dados += bloque.size();
        return 0;
    };
    EXPECT_EQ(escritor->anade_flujo(grande, lee), EFBIG);
    EXPECT_EQ(dados, std::uint64_t{4} << 30);
}

// The same entries give the same bytes, however a file's bytes came in.
TEST(PaquetePhar, MismasEntradasMismosBytes) {
    for (const bool comprime : {false, true}) {
        SCOPED_TRACE(comprime);
        const opciones_paquete como = opciones(firma_phar::sha256, comprime);
        const std::string una = phar_de(como, entradas_variadas(via::prepara));
        EXPECT_EQ(una, phar_de(como, entradas_variadas(via::prepara)));
        EXPECT_EQ(una, phar_de(como, entradas_variadas(via::flujo)));
    }
}

TEST(Paquete, FormatoPorNombreYOpcion) {
    const struct {
        const char* ruta;
        formato_paquete formato;
    } kNombres[] = {
        {"a.phar", formato_paquete::phar},  {"x/A.PHAR", formato_paquete::phar},
        {"a.zip", formato_paquete::zip},    {"a.tar", formato_paquete::tar},
        {"a.Tar.Gz", formato_paquete::tgz}, {"a.tgz", formato_paquete::tgz},
        {"a.gz", formato_paquete::carpeta}, {"a.phar.d", formato_paquete::carpeta},
        {"dist", formato_paquete::carpeta},
    };
    for (const auto& n : kNombres) {
        EXPECT_EQ(formato_por_nombre(n.ruta), n.formato) << n.ruta;
    }
    formato_paquete f = formato_paquete::carpeta;
    EXPECT_TRUE(formato_por_opcion("tgz", f));
    EXPECT_EQ(f, formato_paquete::tgz);
    EXPECT_FALSE(formato_por_opcion("rar", f));
    EXPECT_FALSE(formato_por_opcion("PHAR", f));
    EXPECT_EQ(f, formato_paquete::tgz);
}

}  // namespace

}  // namespace kexo
