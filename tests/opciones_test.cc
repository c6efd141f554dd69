// kexo-arbol's command line: its table of options against the man page and
// the usage text.
#include "tree/opciones.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kexo {
namespace {

// An option as the man page's OPTIONS list and the table both can say it:
// "-e, --extensiones=LISTA", "--borra".
std::string como_en_el_manual(const opcion_arbol& o) {
    std::string dicha = o.corta != 0 ? std::string("-") + o.corta + ", " : "";
    dicha += std::string("--") + o.larga;
    return o.valor != nullptr ? dicha + "=" + o.valor : dicha;
}

// The options the man page lists: the line after each .TP in OPTIONS, without
// its roff (font requests, quotes, backslashes before dashes).
std::set<std::string> opciones_del_manual() {
    std::ifstream manual(std::string(KEXO_FUENTES) + "/man/kexo-arbol.1");
    std::set<std::string> dichas;
    bool en_opciones = false;
    for (std::string linea; std::getline(manual, linea);) {
        if (linea.rfind(".SH", 0) == 0) {
            en_opciones = linea == ".SH OPTIONS";
        } else if (en_opciones && linea == ".TP" && std::getline(manual, linea)) {
            std::string limpia;
            for (const char c : linea.substr(linea.find(' ') + 1)) {
                if (c != '\\' && c != '"') {
                    limpia += c;
                }
            }
            limpia.erase(std::remove(limpia.begin(), limpia.end(), ' '), limpia.end());
            dichas.insert(limpia);
        }
    }
    return dichas;
}

TEST(Opciones, ElManualDiceLasDeLaTabla) {
    std::set<std::string> de_la_tabla;
    std::set<int> claves;
    for (const opcion_arbol& o : opciones_arbol()) {
        // Two options with one key would both do what the parser does for it.
        EXPECT_TRUE(claves.insert(o.clave).second) << o.larga;
        std::string sin_blancos = como_en_el_manual(o);
        sin_blancos.erase(std::remove(sin_blancos.begin(), sin_blancos.end(), ' '),
                          sin_blancos.end());
        de_la_tabla.insert(sin_blancos);
    }
    const std::set<std::string> del_manual = opciones_del_manual();
    for (const std::string& o : de_la_tabla) {
        EXPECT_TRUE(del_manual.count(o)) << o << " falta en el manual";
    }
    for (const std::string& o : del_manual) {
        if (o.rfind("-", 0) == 0) {
            EXPECT_TRUE(de_la_tabla.count(o)) << o << " del manual no esta en la tabla";
        }
    }
}

TEST(Opciones, ElUsoDiceCadaUnaEnSuColumna) {
    const std::string uso = texto_uso();
    for (const opcion_arbol& o : opciones_arbol()) {
        const std::string dicha = como_en_el_manual(o);
        const std::size_t donde =
            uso.find("\n  " + std::string(o.corta != 0 ? "" : "    ") + dicha);
        ASSERT_NE(std::string::npos, donde) << dicha;
        // Its help follows on that line, from the same column as every other's
        // (or two spaces after a name too long for it).
        const std::size_t fin = uso.find('\n', donde + 1);
        const std::string linea = uso.substr(donde + 1, fin - donde - 1);
        const std::size_t ayuda = linea.find_first_not_of(' ', linea.find(dicha) + dicha.size());
        EXPECT_TRUE(ayuda == 27 || (ayuda > 27 && linea.substr(ayuda - 2, 2) == "  ")) << linea;
        EXPECT_EQ(std::string(o.ayuda).substr(0, std::string(o.ayuda).find('\n')),
                  linea.substr(ayuda));
    }
    EXPECT_EQ("\n\n", uso.substr(uso.size() - 2));
}

}  // namespace
}  // namespace kexo
