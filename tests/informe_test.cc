// The report's JSON: strings escaped, paths that are not UTF-8 in base64.
#include "tree/informe.h"

#include <gtest/gtest.h>

namespace kexo {

namespace {

using namespace std::string_view_literals;

TEST(Informe, CadenasJson) {
    const struct {
        std::string_view texto, json;
    } casos[] = {
        {"a/b.php", R"("a/b.php")"},
        {"comillas\"y\\barra", R"("comillas\"y\\barra")"},
        {"tab\there\n\x01"sv, R"("tab\u0009here\u000a\u0001")"},
        {"\xc3\xb1"
         "and\xc3\xba",
         "\"\xc3\xb1"
         "and\xc3\xba\""},                                // UTF-8 stays as it is
        {"\xff", R"({"bytes":"/w=="})"},                  // a stray byte
        {"ab\xc3", R"({"bytes":"YWLD"})"},                // a cut sequence
        {"\xc0\xaf", R"({"bytes":"wK8="})"},              // overlong
        {"\xed\xa0\x80", R"({"bytes":"7aCA"})"},          // a surrogate
        {"\xf4\x90\x80\x80", R"({"bytes":"9JCAgA=="})"},  // past U+10FFFF
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
        {"", R"("")"},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.json, cadena_json(c.texto)) << c.json;
    }
}

TEST(Informe, ObjetoPorEntrada) {
    informe_trabajo fallo;
    fallo.resultado = resultado_trabajo::fallido;
    fallo.error = 28;
    fallo.antes = 5;
    EXPECT_EQ(
        R"({"ruta":"x.php","accion":"fallido","antes":5,"despues":0,"al_leer":false,"error":28})",
        objeto_json({"x.php", tipo_entrada::php}, fallo));
    informe_trabajo enlace;
    EXPECT_EQ(R"({"ruta":"l","accion":"hecho"})", objeto_json({"l", tipo_entrada::enlace}, enlace));
}

// A path in the report for people stays on one line: a name with a line end
// cannot pass for another entry's line or for the summary.
TEST(Informe, RutaLegible) {
    const struct {
        std::string_view ruta, legible;
    } casos[] = {
        {"a/b.php", "a/b.php"},
        {"a\nCompactados 9", R"(a\#012Compactados 9)"},
        {"cr\r tab\t del\x7f", R"(cr\#015 tab\#011 del\#177)"},
        {"\x01"sv, R"(\#001)"},
        {"\0x"sv, R"(\#000x)"},
        {R"(a\#012)", R"(a\#134#012)"},    // an escape's look-alike told apart
        {R"(a\b\)", R"(a\b\)"},            // a lone backslash stays
        {"\xff\xc3\xb1", "\xff\xc3\xb1"},  // high bytes as they are
        {"", ""},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.legible, ruta_legible(c.ruta)) << c.legible;
    }
    informe_trabajo copiado;
    copiado.resultado = resultado_trabajo::copiado;
    EXPECT_EQ(R"(cf x\#012y)", linea_detalle({"x\ny", tipo_entrada::otro}, copiado));
}

// The detailed report's line: what was done, the kind of entry, the path.
TEST(Informe, LineaDetallada) {
    const struct {
        resultado_trabajo resultado;
        tipo_entrada tipo;
        const char* linea;
    } casos[] = {
        {resultado_trabajo::compactado, tipo_entrada::php, "kf a/b.php"},
        {resultado_trabajo::compactado_php, tipo_entrada::php, "pf a/b.php"},
        {resultado_trabajo::sin_compactar, tipo_entrada::php, "=f a/b.php"},
        {resultado_trabajo::demasiado_grande, tipo_entrada::php, "=f a/b.php"},
        {resultado_trabajo::copiado, tipo_entrada::otro, "cf a/b.php"},
        {resultado_trabajo::copiado, tipo_entrada::php, "cf a/b.php"},
        {resultado_trabajo::hecho, tipo_entrada::carpeta, "+d a/b.php"},
        {resultado_trabajo::hecho, tipo_entrada::enlace, "+L a/b.php"},
        {resultado_trabajo::fallido, tipo_entrada::carpeta, "!d a/b.php"},
        {resultado_trabajo::sin_memoria, tipo_entrada::php, "!f a/b.php"},
        {resultado_trabajo::cambiado, tipo_entrada::enlace, "~L a/b.php"},
        {resultado_trabajo::omitido, tipo_entrada::especial, "-S a/b.php"},
    };
    for (const auto& c : casos) {
        informe_trabajo informe;
        informe.resultado = c.resultado;
        EXPECT_EQ(c.linea, linea_detalle({"a/b.php", c.tipo}, informe));
    }
}

}  // namespace

}  // namespace kexo
