#include "tree/opciones.h"

#include <getopt.h>

#include <cerrno>
#include <cstring>

#include "common/archivo.h"
#include "common/errores.h"
#include "notice/aviso.h"
#include "salida/lectura.h"

namespace kexo {

const std::vector<opcion_arbol>& opciones_arbol() {
    static const std::vector<opcion_arbol> tabla = {
        {'e', "extensiones", "LISTA", 'e',
         "extensiones de los ficheros PHP, separadas por comas (php)"},
        {'x', "excluye", "PATRON", 'x',
         "deja fuera las rutas que casan con PATRON, como en\n.gitignore (repetible)"},
        {0, "excluye-desde", "FICHERO", 'X', "lee los patrones de FICHERO, uno por linea"},
        {0, "aviso", "FICHERO", 'A',
         "el aviso es la primera linea de FICHERO (si no,\nla de $PHPRC/kexo.ini)"},
        {0, "sin-compactar", "PATRON", 'K',
         "copia tal cual los ficheros PHP que casan con\nPATRON, como en .gitignore (repetible)"},
        {0, "excluye-gitattributes", nullptr, 'G',
         "deja fuera lo que los .gitattributes del origen\nmarcan export-ignore, como git archive"},
        {'s', "solo-php", nullptr, 's',
         "no copia los ficheros que no son PHP, ni hace las\ncarpetas que quedarian vacias"},
        {'c', "sin-comprobar", nullptr, 'c', "compacta todo PHP, aunque cambie su programa"},
        {'j', "hilos", "N", 'j', "N hilos de trabajo (uno por nucleo)"},
        {'n', "simula", nullptr, 'n', "no escribe nada; da el mismo informe"},
        {0, "modo", "REGLAS", 'M',
         "php (las de PHP: cada pieza en su linea; las de siempre)\no kexo (las de kexo donde no "
         "cambian nada; si no, las de PHP)"},
        {0, "informe", "FORMATO", 'I', "texto (el de siempre) o json: un objeto JSON por linea"},
        {0, "estricto", nullptr, 'E', "sale con 3 si algun fichero PHP queda sin compactar"},
        {0, "suma", nullptr, 'S',
         "compara el contenido del origen aunque su tamano y su\nfecha no hayan cambiado"},
        {0, "borra", nullptr, 'B', "borra del destino lo que ya no esta en el origen"},
        {0, "borra-excluidos", nullptr, 'D',
         "con --borra, borra tambien lo que dejan fuera -x y -s"},
        {0, "formato", "FORMATO", 'F',
         "carpeta, phar, zip, tar o tgz (si no, lo dice el nombre\n"
         "de <destino>: .phar, .zip, .tar, .tar.gz o .tgz)"},
        {0, "prefijo", "RUTA", 'P', "en un paquete, pone cada entrada bajo la carpeta RUTA"},
        {0, "principal", "RUTA", 'R',
         "en un PHAR, el guion que ejecuta su stub (RUTA\nrelativa a <origen>)"},
        {0, "stub", "FICHERO", 'U',
         "en un PHAR, el stub de FICHERO, que acaba en\n__HALT_COMPILER();"},
        {0, "alias", "NOMBRE", 'L', "en un PHAR, su alias (el nombre de <destino>)"},
        {0, "firma", "TIPO", 'W', "en un PHAR, sha256 (la de siempre) o sha512"},
        {0, "comprime", "TIPO", 'Z',
         "en un PHAR, gz comprime cada fichero; no, ninguno\n(el de siempre)"},
        {'v', "detalla", nullptr, 'v',
         "en el informe de texto, una linea por entrada cambiada\n"
         "(-vv: por entrada) con lo hecho: k compactado (reglas\n"
         "de kexo), p (de PHP), = sin compactar, c copiado,\n"
         "+ hecho, ! fallido, ~ cambiado, - omitido, . al dia;\n"
         "y el tipo: f fichero, d carpeta, L enlace, S especial;\n"
         "*borrado RUTA, lo que borra --borra"},
        {0, "tiempos", nullptr, 'T', "da al final el tiempo de cada fase del trabajo"},
        {'h', "help", nullptr, 'h', "da este texto"},
        {0, "version", nullptr, 'V', "da la version y las vias de escaneo de este procesador"},
    };
    return tabla;
}

std::string texto_uso() {
    // The help starts at this column, at least two spaces after the option.
    constexpr std::size_t kColumnaAyuda = 27;
    std::string uso =
        "Uso:    kexo-arbol [opciones] <origen> <destino>\n"
        "        <origen>    Carpeta origen.\n"
        "        <destino>   Carpeta destino, reflejo de la de origen; o un paquete,\n"
        "                    si su nombre acaba en .phar, .zip, .tar, .tar.gz o .tgz.\n";
    for (const opcion_arbol& o : opciones_arbol()) {
        std::string linea = o.corta != 0 ? std::string("  -") + o.corta + ", " : "      ";
        linea += std::string("--") + o.larga;
        if (o.valor != nullptr) {
            linea += std::string("=") + o.valor;
        }
        linea.append(linea.size() + 2 > kColumnaAyuda ? 2 : kColumnaAyuda - linea.size(), ' ');
        for (const char* c = o.ayuda; *c != '\0'; ++c) {
            linea += *c;
            if (*c == '\n') {
                linea.append(kColumnaAyuda, ' ');
            }
        }
        uso += linea + "\n";
    }
    return uso + "\n";
}

namespace {

// The extensions of a comma-separated list, each without the spaces around
// it and a leading dot. Empty when one of them is empty.
std::vector<std::string> separa_comas(const std::string& lista) {
    std::vector<std::string> partes;
    for (std::size_t i = 0; i <= lista.size();) {
        const std::size_t coma = std::min(lista.find(',', i), lista.size());
        std::size_t desde = std::min(lista.find_first_not_of(' ', i), coma);
        std::size_t hasta = coma;
        while (hasta > desde && lista[hasta - 1] == ' ') {
            --hasta;
        }
        // An extension may be written with its dot.
        if (desde < hasta && lista[desde] == '.') {
            ++desde;
        }
        if (hasta <= desde) {
            return {};
        }
        partes.push_back(lista.substr(desde, hasta - desde));
        i = coma + 1;
    }
    return partes;
}

// True when `ruta` can name a folder inside an archive: relative, its names
// neither empty, `.` nor `..` (a trailing `/` is dropped).
bool prefijo_valido(std::string& ruta) {
    while (!ruta.empty() && ruta.back() == '/') {
        ruta.pop_back();
    }
    if (ruta.empty()) {
        return false;
    }
    for (std::size_t desde = 0;;) {
        const std::size_t barra = std::min(ruta.find('/', desde), ruta.size());
        const std::string_view nombre(ruta.data() + desde, barra - desde);
        if (nombre.empty() || nombre == "." || nombre == "..") {
            return false;
        }
        if (barra == ruta.size()) {
            return true;
        }
        desde = barra + 1;
    }
}

// Adds the rules of the exclude file `ruta`, one a line. Returns 0, or the
// error number when it cannot be read.
int lee_exclusiones(const char* ruta, reglas_exclusion& reglas) {
    const archivo fichero = abre_origen(ruta);
    std::string texto;
    const int error = fichero ? lee_entero(fichero.get(), texto) : errno;
    if (error == 0) {
        reglas.anade_lineas(texto);
    }
    return error;
}

// The table as getopt_long wants it, ended by a row of zeros.
std::vector<option> para_getopt() {
    std::vector<option> largas;
    for (const opcion_arbol& o : opciones_arbol()) {
        largas.push_back(
            {o.larga, o.valor != nullptr ? required_argument : no_argument, nullptr, o.clave});
    }
    largas.push_back({nullptr, 0, nullptr, 0});
    return largas;
}

// The letters getopt reads, a colon after those that take a value; a colon
// first, so that a missing value is told from an unknown option.
std::string letras_getopt() {
    std::string letras = ":";
    for (const opcion_arbol& o : opciones_arbol()) {
        if (o.corta != 0) {
            letras += o.corta;
            if (o.valor != nullptr) {
                letras += ':';
            }
        }
    }
    return letras;
}

// The option just read as `letra` as the user wrote it: its long name when
// `indice` says it was given so, else its letter.
std::string opcion_escrita(const option* largas, int indice, int letra) {
    return indice >= 0 ? std::string("--") + largas[indice].name
                       : std::string("-") + static_cast<char>(letra);
}

// The option getopt_long refused (`letra` '?' or ':'), as the user wrote it.
std::string opcion_rechazada(const option* largas, char** argv, int letra) {
    const std::string anterior = optind > 0 ? argv[optind - 1] : "";
    if (anterior.rfind("--", 0) == 0) {
        // The word just passed, when it is the option refused: one unknown,
        // or one known (perhaps shortened) given a value it does not take.
        const std::string nombre = anterior.substr(0, anterior.find('='));
        bool es_esa = optopt == 0 || letra == ':';
        for (const option* o = largas; o->name != nullptr && !es_esa; ++o) {
            es_esa = o->val == optopt &&
                     std::strncmp(o->name, nombre.c_str() + 2, nombre.size() - 2) == 0;
        }
        if (es_esa) {
            return nombre;
        }
    }
    return std::string("-") + static_cast<char>(optopt);
}

// Sets in `o` the option `clave` that takes no value. Returns false when
// `clave` is not such an option.
bool aplica_marca(int clave, opciones& o) {
    switch (clave) {
        case 'G':
            o.que.exporta = true;
            return true;
        case 's':
            o.que.solo_php = true;
            return true;
        case 'c':
            o.trabajo.comprueba = false;
            return true;
        case 'n':
            o.trabajo.simula = true;
            return true;
        case 'V':
            o.version = true;
            return true;
        case 'h':
            o.ayuda = true;
            return true;
        case 'E':
            o.informe.estricto = true;
            return true;
        case 'v':
            o.informe.detalla = std::min(o.informe.detalla + 1, 2u);
            return true;
        case 'T':
            o.tiempos = true;
            return true;
        case 'S':
            o.trabajo.suma = true;
            return true;
        case 'B':
            o.borra = true;
            return true;
        case 'D':
            o.borra_excluidos = true;
            return true;
        default:
            return false;
    }
}

// What is wrong with a file an option names and that could not be read.
std::string ilegible(const char* ruta, const std::string& por_que) {
    return "imposible leer " + std::string(ruta) + ": " + por_que;
}

// Sets in `o` the option `clave` with its value `valor`. Returns "", or what
// is wrong with the value.
std::string aplica_valor(int clave, const char* valor, opciones& o) {
    switch (clave) {
        case 'e':
            o.que.extensiones = separa_comas(valor);
            return o.que.extensiones.empty() ? "se espera una lista de extensiones" : "";
        case 'x':
            if (*valor == '\0') {
                return "se espera un patron";
            }
            o.que.excluidos.anade(valor);
            return "";
        case 'K':
            if (*valor == '\0') {
                return "se espera un patron";
            }
            o.que.sin_compactar.anade(valor);
            o.sin_compactar.emplace_back(valor);
            return "";
        case 'j': {
            char* fin = nullptr;
            const unsigned long hilos = std::strtoul(valor, &fin, 10);
            if (*valor == '\0' || *fin != '\0' || hilos < 1 || hilos > 256) {
                return "se espera un numero de 1 a 256";
            }
            o.hilos = static_cast<unsigned>(hilos);
            return "";
        }
        case 'I':
            if (std::strcmp(valor, "json") != 0 && std::strcmp(valor, "texto") != 0) {
                return "se espera texto o json";
            }
            o.informe.json = std::strcmp(valor, "json") == 0;
            return "";
        case 'M':
            if (std::strcmp(valor, "kexo") != 0 && std::strcmp(valor, "php") != 0) {
                return "se espera kexo o php";
            }
            o.trabajo.modo = std::strcmp(valor, "php") == 0 ? modo_reglas::php : modo_reglas::kexo;
            o.modo_dado = true;
            return "";
        case 'F':
            o.formato_dado = true;
            return formato_por_opcion(valor, o.formato) ? ""
                                                        : "se espera carpeta, phar, zip, tar o tgz";
        case 'P':
            o.prefijo = valor;
            return prefijo_valido(o.prefijo) ? "" : "se espera una ruta relativa, sin . ni ..";
        case 'R':
            o.principal = valor;
            while (o.principal.rfind("./", 0) == 0) {
                o.principal.erase(0, 2);
            }
            return o.principal.empty() ? "se espera una ruta" : "";
        case 'L':
            o.alias = valor;
            return o.alias.empty() ? "se espera un nombre" : "";
        case 'W':
            if (std::strcmp(valor, "sha256") != 0 && std::strcmp(valor, "sha512") != 0) {
                return "se espera sha256 o sha512";
            }
            o.firma = std::strcmp(valor, "sha512") == 0 ? firma_phar::sha512 : firma_phar::sha256;
            return "";
        case 'Z':
            if (std::strcmp(valor, "gz") != 0 && std::strcmp(valor, "no") != 0) {
                return "se espera gz o no";
            }
            o.comprime = std::strcmp(valor, "gz") == 0;
            o.comprime_dado = true;
            return "";
        case 'U': {
            o.ruta_stub = valor;
            const archivo fichero = abre_origen(valor);
            const int error = fichero ? lee_entero(fichero.get(), o.stub) : errno;
            return error != 0 ? ilegible(valor, describe_error(error)) : "";
        }
        case 'X': {
            const int error = lee_exclusiones(valor, o.que.excluidos);
            return error != 0 ? ilegible(valor, describe_error(error)) : "";
        }
        case 'A': {
            const int error = lee_aviso(valor, o.trabajo.scopy);
            o.aviso_dado = true;
            o.ruta_aviso = valor;
            return error == 0                 ? ""
                   : error == kAvisoNoRegular ? ilegible(valor, "no es un fichero regular")
                                              : ilegible(valor, describe_error(error));
        }
        default:
            return "";
    }
}

// What is wrong with the archive's options, for the format chosen, or "".
std::string mal_paquete(const opciones& o) {
    const bool phar = o.formato == formato_paquete::phar;
    if (o.formato == formato_paquete::carpeta && !o.prefijo.empty()) {
        return "--prefijo: solo con un paquete";
    }
    if (!phar && (!o.principal.empty() || !o.ruta_stub.empty() || !o.alias.empty() ||
                  o.comprime_dado || o.firma != firma_phar::sha256)) {
        return std::string(!o.principal.empty()   ? "--principal"
                           : !o.ruta_stub.empty() ? "--stub"
                           : !o.alias.empty()     ? "--alias"
                           : o.comprime_dado      ? "--comprime"
                                                  : "--firma") +
               ": solo con un PHAR";
    }
    if (!o.principal.empty() && !o.ruta_stub.empty()) {
        return "--stub: no con --principal, que hace el suyo";
    }
    if (o.formato != formato_paquete::carpeta && o.borra) {
        return "--borra: solo con una carpeta";
    }
    return "";
}

// Reads the two operands after the options. Returns false, with what is
// wrong in `mal`, when they are not right.
bool lee_operandos(int argc, char** argv, opciones& o, std::string& mal) {
    if (argc - optind != 2) {
        mal = argc - optind == 0   ? "faltan <origen> y <destino>"
              : argc - optind == 1 ? "falta <destino>"
                                   : std::string("sobra ") + argv[optind + 2];
        return false;
    }
    if (o.borra_excluidos && !o.borra) {
        mal = "--borra-excluidos: solo con --borra";
        return false;
    }
    o.origen = argv[optind];
    o.destino = argv[optind + 1];
    if (o.origen.empty() || o.destino.empty()) {
        mal = o.origen.empty() ? "<origen> vacio" : "<destino> vacio";
        return false;
    }
    if (!o.formato_dado) {
        o.formato = formato_por_nombre(o.destino);
    }
    mal = mal_paquete(o);
    return mal.empty();
}

}  // namespace

bool lee_opciones(int argc, char** argv, opciones& o, orden_mal& error) {
    std::string& mal = error.que;
    const std::vector<option> largas = para_getopt();
    const std::string letras = letras_getopt();
    o.que.extensiones = {"php"};
    opterr = 0;
    int indice = -1;
    for (int letra; (letra = getopt_long(argc, argv, letras.c_str(), largas.data(), &indice)) != -1;
         indice = -1) {
        if (letra == ':') {
            mal = opcion_rechazada(largas.data(), argv, letra) + ": falta su valor";
            return false;
        }
        if (letra == '?') {
            mal = opcion_rechazada(largas.data(), argv, letra);
            // A long option known but given a value it does not take.
            mal += mal.rfind("--", 0) == 0 && optopt != 0 ? ": no admite valor"
                                                          : ": opcion desconocida";
            return false;
        }
        if (aplica_marca(letra, o)) {
            continue;
        }
        if (const std::string malo = aplica_valor(letra, optarg, o); !malo.empty()) {
            mal = opcion_escrita(largas.data(), indice, letra) + ": " + malo;
            error.de_uso = letra != 'X' && letra != 'A' && letra != 'U';  // a file not read
            return false;
        }
    }
    // -c alone writes kexo's bytes unchecked, as it always has; PHP's rules
    // unchecked only when asked for.
    if (!o.trabajo.comprueba && !o.modo_dado) {
        o.trabajo.modo = modo_reglas::kexo;
    }
    return o.version || o.ayuda || lee_operandos(argc, argv, o, mal);
}

opciones_salida salida_de(const opciones& o, const char* version) {
    opciones_salida salida;
    salida.version = version;
    salida.modo = o.trabajo.modo == modo_reglas::php ? "php" : "kexo";
    salida.comprueba = o.trabajo.comprueba;
    salida.extensiones = o.que.extensiones;
    salida.aviso = o.trabajo.scopy;
    salida.sin_compactar = o.sin_compactar;
    return salida;
}

}  // namespace kexo
