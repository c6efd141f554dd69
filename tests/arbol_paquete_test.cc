// kexo-arbol writing an archive, end to end: what it holds against what the
// same run writes as a folder, read back by other programs (PHP's phar,
// Python's zipfile and tarfile, unzip, bsdtar); its bytes run after run; and
// what a hostile world does to it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/arbol_comun.h"
#include "tests/proceso.h"

namespace kexo {
namespace {

constexpr long kEpoca = 1700000000;  // even: a zip's DOS time could hold it too
constexpr long kViejo = 1000000000;  // a time before it, kept as it is
const std::string kEnEpoca = "SOURCE_DATE_EPOCH=" + std::to_string(kEpoca);

// The program `nombre` on PATH, or "" where there is none.
std::string busca(const std::string& nombre) {
    const char* path = std::getenv("PATH");
    std::istringstream carpetas(path == nullptr ? "" : path);
    for (std::string carpeta; std::getline(carpetas, carpeta, ':');) {
        const std::string ruta = carpeta + "/" + nombre;
        if (!carpeta.empty() && access(ruta.c_str(), X_OK) == 0) {
            return ruta;
        }
    }
    return {};
}

resultado corre(std::vector<std::string> orden, const fs::path& donde) {
    orden[0] = busca(orden[0]);
    return ejecuta(orden, entorno_sin_phprc({"LC_ALL=C.UTF-8"}), donde);
}

// Lists a zip, tar or tgz as its bytes hold it, a line per entry in the
// archive's order: path, kind (d f l, h a hard link), permission bits,
// modification time, bytes or target; names are read raw, as bytes. Also
// "! ..." for what breaks a promise of the format (owners, UTF-8 flag, order,
// CRC), "# ..." for facts. For a PHAR, only the manifest's order and the
// signature's kind.
constexpr const char* kJuezPython = R"PY(
import sys, zipfile, tarfile, struct, zlib
ruta, formato = sys.argv[1], sys.argv[2]
def esc(b):
    if len(b) > 120:
        return '%s...(%d,%08x)' % (esc(b[:40]), len(b), zlib.crc32(b))
    return ''.join(chr(c) if 0x21 <= c <= 0x7e and c != 0x5c else '\\x%02x' % c for c in b)
nombres = []
def linea(nombre, clase, bits, tiempo, carga):
    nombres.append(nombre)
    print(esc(nombre), clase, '%o' % bits, tiempo, esc(carga))
if formato == 'zip':
    z = zipfile.ZipFile(ruta)
    if z.testzip() is not None: print('! crc')
    for i in z.infolist():
        utf8 = bool(i.flag_bits & 0x800)
        crudo = i.filename.encode('utf-8' if utf8 else 'cp437')
        if not utf8 and any(c >= 0x80 for c in crudo):
            try:
                crudo.decode('utf-8')
                print('! sin-utf8', esc(crudo))
            except UnicodeDecodeError:
                pass
        if i.create_system != 3: print('! no-unix', esc(crudo))
        tiempo, extra = None, i.extra
        while len(extra) >= 4:
            tag, n = struct.unpack('<HH', extra[:4])
            if tag == 0x5455 and n >= 5 and extra[4] & 1:
                tiempo = struct.unpack('<i', extra[5:9])[0]
            extra = extra[4 + n:]
        modo = i.external_attr >> 16
        if i.compress_type == zipfile.ZIP_DEFLATED and not getattr(sys, 'hecho', 0):
            print('# deflate'); sys.hecho = 1
        tipo = modo & 0o170000
        if tipo == 0o040000: linea(crudo.rstrip(b'/'), 'd', modo & 0o7777, tiempo, b'')
        elif tipo == 0o120000: linea(crudo, 'l', modo & 0o7777, tiempo, z.read(i))
        elif tipo == 0o100000: linea(crudo, 'f', modo & 0o7777, tiempo, z.read(i))
        else: print('! tipo', esc(crudo), oct(modo))
elif formato == 'phar':
    datos = open(ruta, 'rb').read()
    p = datos.find(b'__HALT_COMPILER();') + 18
    p += 5 if datos[p:p + 5] == b' ?>\r\n' else 4 if datos[p:p + 4] == b' ?>\n' else 0
    cuantas = struct.unpack('<I', datos[p + 4:p + 8])[0]
    p += 14
    for _ in range(2):
        p += 4 + struct.unpack('<I', datos[p:p + 4])[0]
    for _ in range(cuantas):
        n = struct.unpack('<I', datos[p:p + 4])[0]
        nombres.append(datos[p + 4:p + 4 + n].rstrip(b'/'))
        p += 4 + n + 20
        p += 4 + struct.unpack('<I', datos[p:p + 4])[0]
    tipos = {3: 'SHA-256', 4: 'SHA-512'}
    print('# firma', tipos.get(struct.unpack('<I', datos[-8:-4])[0], '?'), datos[-4:].decode())
else:
    t = tarfile.open(ruta, 'r:*', encoding='utf-8', errors='surrogateescape')
    for m in t.getmembers():
        crudo = m.name.encode('utf-8', 'surrogateescape').rstrip(b'/')
        objetivo = m.linkname.encode('utf-8', 'surrogateescape')
        if (m.uid, m.gid, m.uname, m.gname) != (0, 0, '', ''): print('! dueno', esc(crudo))
        if m.isdir(): linea(crudo, 'd', m.mode, int(m.mtime), b'')
        elif m.issym(): linea(crudo, 'l', m.mode, int(m.mtime), objetivo)
        elif m.islnk(): linea(crudo, 'h', m.mode, int(m.mtime), objetivo)
        elif m.isfile(): linea(crudo, 'f', m.mode, int(m.mtime), t.extractfile(m).read())
        else: print('! tipo', esc(crudo))
if nombres != sorted(nombres): print('! orden')
)PY";

// A PHAR as PHP's phar extension reads it, its signature required: the
// signature's kind, then the same lines as above, walking phar:// (a
// folder's bits and time are PHP's own, not the archive's: shown as 0).
constexpr const char* kJuezPhp = R"PHP(
function esc($b) {
    if (strlen($b) > 120) {
        return sprintf('%s...(%d,%08x)', esc(substr($b, 0, 40)), strlen($b), crc32($b));
    }
    $s = '';
    for ($i = 0; $i < strlen($b); ++$i) {
        $c = ord($b[$i]);
        $s .= $c >= 0x21 && $c <= 0x7e && $c != 0x5c ? $b[$i] : sprintf('\\x%02x', $c);
    }
    return $s;
}
function recorre($url, $rel) {
    foreach (scandir($url) as $n) {
        if ($n === '.' || $n === '..') continue;
        $u = "$url/$n";
        $r = $rel === '' ? $n : "$rel/$n";
        if (is_dir($u)) {
            echo esc($r), " d 0 0 \n";
            recorre($u, $r);
        } else {
            $s = stat($u);
            printf("%s f %o %d %s\n", esc($r), $s['mode'] & 0777, $s['mtime'],
                   esc(file_get_contents($u)));
        }
    }
}
$p = new Phar($argv[1]);
echo '# firma php ', $p->getSignature()['hash_type'], "\n";
recorre('phar://' . $argv[1], '');
)PHP";

// As the judges show bytes: printable ASCII but `\` as it is, the rest as
// \xNN; past 120 bytes, the first 40, the length and their CRC-32.
std::string escapa_bytes(const std::string& b) {
    if (b.size() > 120) {
        static const std::vector<std::uint32_t> tabla = [] {
            std::vector<std::uint32_t> t(256);
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint32_t c = i;
                for (int k = 0; k < 8; ++k) {
                    c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
                }
                t[i] = c;
            }
            return t;
        }();
        std::uint32_t h = ~0u;
        for (const char c : b) {
            h = (h >> 8) ^ tabla[(h ^ static_cast<unsigned char>(c)) & 0xffu];
        }
        h = ~h;
        char cola[48];
        std::snprintf(cola, sizeof cola, "...(%zu,%08x)", b.size(), static_cast<unsigned>(h));
        return escapa_bytes(b.substr(0, 40)) + cola;
    }
    std::string s;
    for (const char c : b) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x21 && u <= 0x7e && u != 0x5c) {
            s += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            s += hex;
        }
    }
    return s;
}

// What a judge said of an archive: its entries' lines, sorted, and apart
// the faults ("! ...") and facts ("# ...") it found.
struct juicio {
    std::string entradas;
    std::vector<std::string> faltas;
    std::set<std::string> hechos;
    bool hecho = false;  // false: the judge is missing here
};

std::vector<std::string> lineas_de(const std::string& texto) {
    std::vector<std::string> lineas;
    std::istringstream entrada(texto);
    for (std::string l; std::getline(entrada, l);) {
        lineas.push_back(l);
    }
    return lineas;
}

juicio separa(const std::string& salida, juicio j) {
    std::set<std::string> entradas;
    for (const std::string& l : lineas_de(salida)) {
        if (l.rfind("! ", 0) == 0) {
            j.faltas.push_back(l);
        } else if (l.rfind("# ", 0) == 0) {
            j.hechos.insert(l);
        } else {
            entradas.insert(l);
        }
    }
    for (const std::string& l : entradas) {
        j.entradas += l + "\n";
    }
    j.hecho = true;
    return j;
}

// The judges' reading of the archive `archivo`, of `formato` (phar zip tar tgz).
juicio juzga(const fs::path& archivo, const std::string& formato) {
    if (busca("python3").empty() || (formato == "phar" && busca("php").empty())) {
        return {};
    }
    const resultado py =
        corre({"python3", "-c", kJuezPython, archivo.string(), formato}, archivo.parent_path());
    EXPECT_EQ(0, py.estado) << py.errores;
    if (formato != "phar") {
        return separa(py.salida, {});
    }
    const resultado php = corre({"php", "-d", "phar.require_hash=1", "-d", "phar.readonly=0", "-r",
                                 kJuezPhp, archivo.string()},
                                archivo.parent_path());
    EXPECT_EQ(0, php.estado) << php.salida << php.errores;
    return separa(py.salida + php.salida, {});
}

// What the archive should hold, from the folder output `carpeta` of the same
// run: as the judges list it.
struct como_esperar {
    std::string formato;
    std::string prefijo;
    // A second name of a file, by path, and its first name: a tar links it.
    std::map<std::string, std::string> duros;
};

std::string esperado(const fs::path& carpeta, const como_esperar& como) {
    const bool phar = como.formato == "phar";
    const auto en_paquete = [&](const std::string& ruta) {
        return como.prefijo.empty() ? ruta : como.prefijo + "/" + ruta;
    };
    const auto tiempo = [](const struct stat& e) {
        return std::to_string(std::min<long>(e.st_mtim.tv_sec, kEpoca));
    };
    const auto bits = [&](const struct stat& e) {
        char texto[16];
        std::snprintf(texto, sizeof texto, "%o", e.st_mode & (phar ? 0777u : 01777u));
        return std::string(texto);
    };
    std::set<std::string> lineas;
    const auto pon = [&](const std::string& ruta, const std::string& resto) {
        lineas.insert(escapa_bytes(en_paquete(ruta)) + " " + resto);
    };
    if (!como.prefijo.empty()) {
        const struct stat raiz = estado_de(carpeta);
        lineas.insert(escapa_bytes(como.prefijo) + " d " +
                      (phar ? "0 0 " : bits(raiz) + " " + tiempo(raiz) + " "));
    }
    for (auto i = fs::recursive_directory_iterator(carpeta);
         i != fs::recursive_directory_iterator(); ++i) {
        const std::string ruta = i->path().lexically_relative(carpeta).string();
        struct stat e = estado_de(i->path());
        if (S_ISDIR(e.st_mode)) {
            pon(ruta, phar ? "d 0 0 " : "d " + bits(e) + " " + tiempo(e) + " ");
        } else if (S_ISLNK(e.st_mode) && !phar) {
            pon(ruta, "l " + bits(e) + " " + tiempo(e) + " " +
                          escapa_bytes(fs::read_symlink(i->path()).string()));
        } else {
            // A PHAR holds the file a link leads to, as it is.
            const fs::path fichero = S_ISLNK(e.st_mode) ? fs::canonical(i->path()) : i->path();
            stat(fichero.c_str(), &e);
            const auto duro = como.duros.find(ruta);
            if (duro != como.duros.end() && !phar && como.formato != "zip" &&
                fs::exists(carpeta / duro->second)) {
                pon(ruta, "h " + bits(e) + " " + tiempo(e) + " " +
                              escapa_bytes(en_paquete(duro->second)));
            } else {
                pon(ruta,
                    "f " + bits(e) + " " + tiempo(e) + " " + escapa_bytes(lee_fichero(fichero)));
            }
        }
    }
    std::string todo;
    for (const std::string& l : lineas) {
        todo += l + "\n";
    }
    return todo;
}

// The paths of a JSON report's entries, one line each.
std::multiset<std::string> rutas_json(const std::string& salida) {
    std::multiset<std::string> rutas;
    for (const std::string& l : lineas_de(salida)) {
        if (l.rfind("{\"ruta\":\"", 0) == 0) {
            rutas.insert(l.substr(9, l.find('"', 9) - 9));
        }
    }
    return rutas;
}

// The names beside `archivo` that a run left: its temporaries.
std::set<std::string> restos_junto_a(const fs::path& archivo) {
    std::set<std::string> restos;
    for (const std::string& n : nombres_en(archivo.parent_path())) {
        if (n.find(".kexo-") != std::string::npos) {
            restos.insert(n);
        }
    }
    return restos;
}

// Bytes that nothing compresses, more than a small disk holds.
std::string ruido(std::size_t n) {
    std::string bytes(n, '\0');
    std::uint64_t x = 88172645463325252ull;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x & 0xff);
    }
    return bytes;
}

// A small tree with a bit of everything an archive must carry.
void planta_arbol(const fs::path& origen, long tiempo) {
    fs::create_directories(origen / "sub");
    fs::create_directories(origen / "vacia");
    fs::create_directories(origen / "fuera");
    fs::create_directories(origen / "lib");
    fs::create_directories(origen / "bin");
    escribe_fichero(origen / "a.php", "<?php\n  $a = 1; // c\n");
    escribe_fichero(origen / "b.php", "<?php\r\n  $b = 2; /* c */\r\n  echo $b;\r\n");
    escribe_fichero(origen / "crudo.php", "<?php\n  $sin = 'tocar';   // c\n");
    escribe_fichero(origen / "texto.txt", "texto\r\nplano\n");
    std::string grande;
    for (int i = 0; i < 400; ++i) {
        grande += "linea " + std::to_string(i % 10) + " de un texto que se repite\n";
    }
    escribe_fichero(origen / "grande.txt", grande);
    fs::create_hard_link(origen / "texto.txt", origen / "x-duro.txt");
    escribe_fichero(origen / "suid.php", "<?php\n  $s = 1;\n");
    fs::permissions(origen / "suid.php", fs::perms(04755));
    escribe_fichero(origen / "sub/c.php", "<?php\n  function c() { return 3; } // c\n");
    fs::create_symlink("sub/c.php", origen / "enlace.php");
    fs::create_symlink("enlace.php", origen / "enlace2.php");
    fs::create_symlink("../texto.txt", origen / "sub/arriba.txt");
    escribe_fichero(origen / "sub b.txt", "espacio");
    escribe_fichero(origen / "sub-a.txt", "guion");
    escribe_fichero(origen /
                        "\xc3\xb1"
                        "and\xc3\xba.php",
                    "<?php\n  $u = 'ñ'; // c\n");
    escribe_fichero(origen / "fuera/x.txt", "dejado fuera");
    escribe_fichero(origen / "lib/i.inc", "<?php\n  $i = 1; // c\n");
    escribe_fichero(origen / "bin/run.php", "<?php\n  echo \"corre\\n\"; // c\n");
    escribe_fichero(origen / "viejo.txt", "viejo");
    for (const auto& e : fs::recursive_directory_iterator(origen)) {
        if (!e.is_symlink()) {
            pon_tiempo(e.path(), tiempo);
        }
    }
    pon_tiempo(origen / "viejo.txt", kViejo);
    pon_tiempo(origen, tiempo);
}

// The form a table row packs the tree into.
struct fila_paquete {
    const char* destino;
    const char* formato;               // as the judges name it
    std::vector<std::string> comunes;  // options of the archive and of its folder alike
    std::vector<std::string> paquete;  // options of the archive only
    std::string prefijo;
    bool principal = false;  // --principal=bin/run.php
};

class ArbolPaquete : public ::testing::Test {
   protected:
    void SetUp() override {
        antes_ = umask(022);
        for (const char* d : {"", "otro/"}) {
            fs::create_directories(escena_ / d);
            escribe_fichero(escena_ / d / "aviso.txt", "Copyright 2024 Ejemplo\n");
            escribe_fichero(escena_ / d / "patrones", "fuera\n# nada\ncrudo.php\n");
        }
    }
    void TearDown() override { umask(antes_); }

    resultado kexo(const std::vector<std::string>& argumentos) {
        return arbol_con(escena_.ruta(), argumentos, {kEnEpoca});
    }

    const carpeta_temporal escena_;
    mode_t antes_ = 0;
};

TEST_F(ArbolPaquete, LoMismoQueLaCarpeta) {
    planta_arbol(escena_ / "origen", kEpoca + 1000);
    planta_arbol(escena_ / "otro/origen", kEpoca + 99999);  // a copy, its times other
    const std::vector<fila_paquete> filas = {
        {"p.phar", "phar", {}, {}, "", true},
        {"p.phar", "phar", {"-x", "fuera"}, {"--comprime=gz", "--firma=sha512"}, ""},
        {"p.zip", "zip", {"-x", "fuera", "--sin-compactar", "crudo.php"}, {}, ""},
        {"p.tar", "tar", {"--excluye-desde", "patrones"}, {}, ""},
        {"p.tar.gz", "tgz", {"-s", "-e", "php,inc"}, {}, ""},
        {"p.tgz", "tgz", {}, {"--prefijo=app"}, "app"},
        {"p.zip", "zip", {"--modo=php"}, {"--prefijo=app"}, "app"},
        {"p.phar", "phar", {}, {"--prefijo=app"}, "app", true},
        {"p.tar", "tar", {"-x", "texto.txt", "-x", "sub/arriba.txt"}, {}, ""},
    };
    const como_esperar base{"", "", {{"x-duro.txt", "texto.txt"}}};
    for (const fila_paquete& f : filas) {
        SCOPED_TRACE(std::string(f.destino) + " " + testing::PrintToString(f.comunes) +
                     testing::PrintToString(f.paquete));
        fs::remove_all(escena_ / "carpeta");
        for (const char* d : {"", "otro/"}) {
            fs::remove(escena_ / (std::string(d) + f.destino));
        }
        std::vector<std::string> comunes = {"--aviso", "aviso.txt"};
        comunes.insert(comunes.end(), f.comunes.begin(), f.comunes.end());
        // The folder the same run writes.
        std::vector<std::string> a_carpeta = comunes;
        a_carpeta.insert(a_carpeta.end(), {"--informe=json", "origen", "carpeta"});
        const resultado en_carpeta = kexo(a_carpeta);
        ASSERT_EQ(0, en_carpeta.estado);
        std::vector<std::string> a_paquete = comunes;
        a_paquete.insert(a_paquete.end(), f.paquete.begin(), f.paquete.end());
        if (f.principal) {
            a_paquete.push_back("--principal=bin/run.php");
        }
        const fs::path archivo = escena_ / f.destino;
        std::vector<std::string> json = a_paquete;
        json.insert(json.end(), {"--informe=json", "origen", f.destino});
        const resultado r = kexo(json);
        ASSERT_EQ(0, r.estado) << r.salida << r.errores;
        ASSERT_TRUE(fs::exists(archivo));
        const std::string bytes = lee_fichero(archivo);
        EXPECT_NE(
            std::string::npos,
            r.salida.find("\"paquete\":{\"ruta\":\"" + std::string(f.destino) +
                          "\",\"bytes\":" + std::to_string(bytes.size()) + ",\"escrito\":true}"))
            << r.salida;
        EXPECT_LT(10u, rutas_json(r.salida).size());
        EXPECT_EQ(rutas_json(en_carpeta.salida), rutas_json(r.salida)) << "a line per entry";
        // Again, its plain report; and a copy of the tree with other times.
        std::vector<std::string> texto = a_paquete;
        texto.insert(texto.end(), {"origen", f.destino});
        const resultado otra = kexo(texto);
        EXPECT_EQ(0, otra.estado);
        EXPECT_NE(std::string::npos, otra.salida.find("Paquete " + std::string(f.destino) + ": " +
                                                      std::to_string(bytes.size()) + " bytes\n"))
            << otra.salida;
        EXPECT_TRUE(bytes == lee_fichero(archivo)) << "two runs, two archives";
        ASSERT_EQ(0, arbol_con(escena_ / "otro", texto, {kEnEpoca}).estado);
        EXPECT_TRUE(bytes == lee_fichero(escena_ / "otro" / f.destino))
            << "the same tree elsewhere, other times";
        EXPECT_EQ(std::set<std::string>{}, restos_junto_a(archivo));

        const juicio j = juzga(archivo, f.formato);
        if (!j.hecho) {
            continue;  // no judge here
        }
        como_esperar como = base;
        como.formato = f.formato;
        como.prefijo = f.prefijo;
        EXPECT_EQ(esperado(escena_ / "carpeta", como), j.entradas);
        EXPECT_EQ(std::vector<std::string>{}, j.faltas);
        if (std::string(f.formato) == "phar") {
            const bool sha512 = f.paquete.size() > 1;
            EXPECT_EQ(
                (std::set<std::string>{sha512 ? "# firma SHA-512 GBMB" : "# firma SHA-256 GBMB",
                                       sha512 ? "# firma php SHA-512" : "# firma php SHA-256"}),
                j.hechos);
        } else if (std::string(f.formato) == "zip") {
            EXPECT_EQ(1u, j.hechos.count("# deflate"));
            if (!busca("unzip").empty()) {
                const resultado t = corre({"unzip", "-t", archivo.string()}, escena_.ruta());
                EXPECT_EQ(0, t.estado) << t.salida;
            }
        }
        if (std::string(f.formato) != "phar" && !busca("bsdtar").empty()) {
            const resultado t = corre({"bsdtar", "-tf", archivo.string()}, escena_.ruta());
            EXPECT_EQ(0, t.estado) << t.errores;
        }
        if (f.principal) {
            EXPECT_EQ(0, bytes.rfind("#!/usr/bin/env php\n", 0));
            EXPECT_EQ(0755u, estado_de(archivo).st_mode & 07777);
            const resultado corrido = corre({"php", archivo.string()}, escena_.ruta());
            EXPECT_EQ("corre\n", corrido.salida) << corrido.errores;
        } else {
            EXPECT_EQ(0644u, estado_de(archivo).st_mode & 07777);
        }
    }
}

// Files too large to be held whole, streamed into the archive: the same
// bytes as in the folder, compressible or not.
TEST_F(ArbolPaquete, FicherosGrandes) {
    const fs::path origen = escena_ / "origen";
    fs::create_directories(origen / "sub");
    std::string php = "<?php\n";
    while (php.size() < (33u << 20)) {
        php += "  $v = 'una linea de un fichero grande'; // c\n";
    }
    escribe_fichero(origen / "grande.php", php);
    escribe_fichero(origen / "sub/ruido.bin", ruido(33u << 20));
    escribe_fichero(origen / "sub/z.php", "<?php $z = 1; // c");
    ASSERT_EQ(0, kexo({"origen", "carpeta"}).estado);
    const struct {
        const char* destino;
        const char* formato;
        std::vector<std::string> opciones;
    } filas[] = {{"p.phar", "phar", {}},
                 {"p.phar", "phar", {"--comprime=gz"}},
                 {"p.zip", "zip", {}},
                 {"p.tar", "tar", {}},
                 {"p.tgz", "tgz", {}}};
    for (const auto& f : filas) {
        SCOPED_TRACE(std::string(f.destino) + testing::PrintToString(f.opciones));
        std::vector<std::string> argumentos = f.opciones;
        argumentos.insert(argumentos.end(), {"origen", f.destino});
        const resultado r = kexo(argumentos);
        ASSERT_EQ(0, r.estado) << r.salida << r.errores;
        const juicio j = juzga(escena_ / f.destino, f.formato);
        if (!j.hecho) {
            GTEST_SKIP() << "no judge here";
        }
        EXPECT_EQ(esperado(escena_ / "carpeta", {f.formato, "", {}}), j.entradas);
        EXPECT_EQ(std::vector<std::string>{}, j.faltas);
        fs::remove(escena_ / f.destino);
    }
}

// Links that lead out of the source, to nothing, to a folder or round in a
// loop: a PHAR, which has no links, leaves each out and says so; a zip or a
// tar keeps them as links. Neither holds a byte of what lies outside.
TEST_F(ArbolPaquete, EnlacesQueSalen) {
    const fs::path origen = escena_ / "origen";
    fs::create_directories(origen / "sub");
    escribe_fichero(origen / "a.php", "<?php $a = 1;");
    escribe_fichero(origen / "sub/c.txt", "c");
    escribe_fichero(escena_ / "secreto.txt", "SECRETO-4711");
    const struct {
        const char* nombre;
        std::string objetivo;
        const char* texto;  // why a PHAR leaves it out
        const char* json;
    } enlaces[] = {
        {"abs", (escena_ / "secreto.txt").string(), "el enlace lleva fuera del origen",
         "fuera_del_origen"},
        {"sube", "../secreto.txt", "el enlace lleva fuera del origen", "fuera_del_origen"},
        {"sub/sube2", "../../secreto.txt", "el enlace lleva fuera del origen", "fuera_del_origen"},
        {"roto", "nada", "el enlace no lleva a nada del origen", "roto"},
        {"carpeta", "sub", "el enlace lleva a una carpeta", "carpeta"},
        {"bucle", "bucle", "demasiados enlaces seguidos", "bucle"},
    };
    for (const auto& e : enlaces) {
        fs::create_symlink(e.objetivo, origen / e.nombre);
    }
    for (const char* destino : {"p.phar", "p.zip", "p.tar"}) {
        SCOPED_TRACE(destino);
        const bool phar = std::string(destino) == "p.phar";
        const resultado r = kexo({"origen", destino});
        const resultado json = kexo({"--informe=json", "origen", destino});
        EXPECT_EQ(phar ? 2 : 0, r.estado) << r.salida;
        EXPECT_EQ(phar ? 2 : 0, json.estado) << json.salida;
        const std::string bytes = lee_fichero(escena_ / destino);
        EXPECT_EQ(std::string::npos, bytes.find("SECRETO")) << "a byte from outside went in";
        EXPECT_NE(std::string::npos, r.salida.find("Paquete " + std::string(destino) + ": "))
            << r.salida;
        for (const auto& e : enlaces) {
            const std::string linea =
                std::string("Fuera del paquete ") + e.nombre + ": " + e.texto + "\n";
            const std::string objeto = std::string("{\"ruta\":\"") + e.nombre +
                                       "\",\"accion\":\"fuera\",\"motivo\":\"" + e.json + "\"}";
            EXPECT_EQ(phar, r.salida.find(linea) != std::string::npos) << r.salida;
            EXPECT_EQ(phar, json.salida.find(objeto) != std::string::npos) << json.salida;
        }
        const juicio j = juzga(escena_ / destino, phar ? "phar" : destino + 2);
        if (j.hecho) {
            EXPECT_EQ(std::vector<std::string>{}, j.faltas);
            for (const auto& e : enlaces) {
                const std::string linea = "\n" + std::string(e.nombre) + " ";
                EXPECT_EQ(!phar, ("\n" + j.entradas).find(linea) != std::string::npos)
                    << e.nombre << "\n"
                    << j.entradas;
            }
            EXPECT_NE(std::string::npos, j.entradas.find("sub/c.txt f ")) << j.entradas;
        }
    }
}

// An archive that would lie in the source is refused, unless the rules leave
// it out; then a run after does not pack the archive before it.
TEST_F(ArbolPaquete, PaqueteEnElOrigen) {
    planta_arbol(escena_ / "origen", kEpoca + 1000);
    const struct {
        const char* destino;
        std::vector<std::string> opciones;
        int estado;
    } filas[] = {
        {"origen/p.zip", {}, 1},
        {"origen/p.zip", {"-x", "p.zip"}, 0},
        {"origen/p.zip", {"-x", "p.zip"}, 0},  // again, with the first one there
        {"origen/p.zip", {}, 1},               // there, and not left out
        {"origen/sub/p.phar", {}, 1},
        {"origen/sub/p.phar", {"-x", "*.phar"}, 0},
        {"origen/sub/p.phar", {"-x", "*.phar"}, 0},
        {"origen/fuera/p.tar", {"-x", "fuera"}, 0},
        {"origen/fuera/p.tar", {"-x", "fuera"}, 0},
    };
    // The source reached by another way: a link to it, and where it can, a bind mount.
    fs::create_symlink("origen", escena_ / "vinculo");
    montajes montados;
    const bool montado =
        montados.monta((escena_ / "origen").string(), escena_ / "espejo", "", true);
    for (const char* destino : {"vinculo/q.zip", "vinculo/sub/q.phar", "espejo/q.tar"}) {
        if (!montado && std::string(destino).rfind("espejo", 0) == 0) {
            continue;
        }
        const resultado r = kexo({"origen", destino});
        EXPECT_EQ(1, r.estado) << destino << r.salida;
        EXPECT_NE(std::string::npos, r.errores.find("El paquete quedaria dentro del origen"))
            << destino << r.errores;
        EXPECT_EQ(std::set<std::string>{}, restos_junto_a(escena_ / "origen/sub/x"));
    }
    EXPECT_FALSE(fs::exists(escena_ / "origen/q.zip"));
    EXPECT_FALSE(fs::exists(escena_ / "origen/sub/q.phar"));
    EXPECT_FALSE(fs::exists(escena_ / "origen/q.tar"));
    std::map<std::string, std::string> primeros;
    for (const auto& f : filas) {
        SCOPED_TRACE(std::string(f.destino) + testing::PrintToString(f.opciones));
        const fs::path archivo = escena_ / f.destino;
        const std::string antes = fs::exists(archivo) ? lee_fichero(archivo) : "";
        std::vector<std::string> argumentos = f.opciones;
        argumentos.insert(argumentos.end(), {"origen", f.destino});
        const resultado r = kexo(argumentos);
        EXPECT_EQ(f.estado, r.estado) << r.salida << r.errores;
        EXPECT_EQ(std::set<std::string>{}, restos_junto_a(archivo));
        if (f.estado != 0) {
            EXPECT_NE(std::string::npos, r.errores.find("El paquete quedaria dentro del origen"))
                << r.errores;
            EXPECT_EQ(antes, fs::exists(archivo) ? lee_fichero(archivo) : "");
            continue;
        }
        // With SOURCE_DATE_EPOCH, the same tree gives the same bytes: a run
        // that packed the archive before it would differ.
        const std::string bytes = lee_fichero(archivo);
        if (primeros.count(f.destino) == 0) {
            primeros[f.destino] = bytes;
        } else {
            EXPECT_TRUE(primeros[f.destino] == bytes) << "the archive before went into this one";
        }
    }
}

// Names with control bytes and bytes that are not UTF-8 go into a tar or a
// zip as they are, read back raw.
TEST_F(ArbolPaquete, NombresRaros) {
    const fs::path origen = escena_ / "origen";
    const std::vector<std::string> nombres = {
        "ctl\x01\x1f.txt", "nueva\nlinea.php",
        "tab\t.txt",       "lat\xe9.txt",
        "\xff\xfe",        "d\x7f/x.php",
        "esc\\#001.txt",   std::string(150, 'n') + "/" + std::string(120, 'm')};
    for (const std::string& n : nombres) {
        fs::create_directories((origen / n).parent_path());
        escribe_fichero(origen / n, "<?php $a = 1; // " + n);
    }
    fs::create_symlink("lat\xe9.txt", origen / "enlace\xe9");
    ASSERT_EQ(0, kexo({"origen", "carpeta"}).estado);
    for (const char* destino : {"p.tar", "p.tgz", "p.zip"}) {
        SCOPED_TRACE(destino);
        const resultado r = kexo({"origen", destino});
        EXPECT_EQ(0, r.estado) << r.salida;
        const juicio j = juzga(escena_ / destino, destino + 2);
        if (!j.hecho) {
            GTEST_SKIP() << "python3 is not installed";
        }
        EXPECT_EQ(esperado(escena_ / "carpeta", {destino + 2, "", {}}), j.entradas);
        EXPECT_EQ(std::vector<std::string>{}, j.faltas);
    }
}

// A full disk: the run fails and says why, the archive before stays whole,
// and nothing is left beside it.
TEST_F(ArbolPaquete, DiscoLleno) {
    montajes montados;
    if (!montados.monta("tmpfs", escena_ / "lleno", "size=2m")) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    fs::create_directories(escena_ / "pequeno");
    escribe_fichero(escena_ / "pequeno/a.php", "<?php $a = 1; // c");
    fs::create_directories(escena_ / "origen/sub");
    escribe_fichero(escena_ / "origen/a.php", "<?php $a = 1; // c");
    escribe_fichero(escena_ / "origen/sub/ruido.bin", ruido(3u << 20));
    for (const char* destino : {"p.phar", "p.zip", "p.tar", "p.tgz"}) {
        SCOPED_TRACE(destino);
        const std::string ruta = std::string("lleno/") + destino;
        ASSERT_EQ(0, kexo({"pequeno", ruta}).estado);
        const std::string antes = lee_fichero(escena_ / ruta);
        const resultado r = kexo({"origen", ruta});
        EXPECT_NE(0, r.estado);
        EXPECT_NE(std::string::npos, r.errores.find("Imposible escribir paquete " + ruta +
                                                    ": No queda espacio en el dispositivo (28)"))
            << r.errores;
        EXPECT_EQ(std::string::npos, r.salida.find("Paquete " + ruta)) << r.salida;
        EXPECT_TRUE(antes == lee_fichero(escena_ / ruta)) << "the archive before was changed";
        EXPECT_EQ(std::set<std::string>{destino}, nombres_en(escena_ / "lleno"));
        fs::remove(escena_ / ruta);
    }
}

// Memory too short for the workers' threads, or for the files: the run goes
// on with the threads it has or fails and says so, never ends on a signal,
// and leaves nothing beside the archive.
TEST_F(ArbolPaquete, MemoriaEscasa) {
#if defined(KEXO_SANITIZADO)
    GTEST_SKIP() << "the sanitizers need more address space than the limits";
#endif
    fs::create_directories(escena_ / "origen");
    for (int i = 0; i < 300; ++i) {
        escribe_fichero(escena_ / "origen" / (std::to_string(i) + ".php"),
                        "<?php $a = " + std::to_string(i) + "; // c\n");
    }
    fs::create_directories(escena_ / "salida");
    for (const char* destino : {"p.phar", "p.zip", "p.tar"}) {
        for (const rlim_t megas : {rlim_t{12}, rlim_t{16}, rlim_t{20}, rlim_t{24}}) {
            SCOPED_TRACE(std::string(destino) + " " + std::to_string(megas) + " MiB");
            const std::string ruta = std::string("salida/") + destino;
            const resultado r =
                ejecuta(orden_de(KEXO_BINARIO_ARBOL, {"-j2", "origen", ruta}),
                        entorno_sin_phprc({kEnEpoca}), escena_.ruta(), {megas << 20});
            EXPECT_TRUE(r.estado == 0 || r.estado == 2) << r.estado << r.errores;
            const std::set<std::string> quedan = nombres_en(escena_ / "salida");
            EXPECT_TRUE(quedan.empty() || quedan == std::set<std::string>{destino});
            fs::remove(escena_ / ruta);
        }
    }
}

// A run ended by a signal midway leaves the archive before as it was, and
// nothing beside it.
TEST_F(ArbolPaquete, SenalAMedias) {
    fs::create_directories(escena_ / "pequeno");
    escribe_fichero(escena_ / "pequeno/a.php", "<?php $a = 1; // c");
    for (int i = 0; i < 2000; ++i) {
        const fs::path carpeta = escena_ / "origen" / std::to_string(i % 20);
        fs::create_directories(carpeta);
        escribe_fichero(carpeta / (std::to_string(i) + ".php"), "<?php\r\n  $a = 1; // c\r\n");
    }
    escribe_fichero(escena_ / "origen/zz.php", std::string(200u << 20, 'x'));
    for (const char* destino : {"p.phar", "p.zip", "p.tgz"}) {
        for (const int senal : {SIGINT, SIGKILL}) {
            SCOPED_TRACE(std::string(destino) + " " + strsignal(senal));
            ASSERT_EQ(0, kexo({"pequeno", destino}).estado);
            const std::string antes = lee_fichero(escena_ / destino);
            proceso corriendo(orden_de(KEXO_BINARIO_ARBOL, {"-j2", "origen", destino}),
                              entorno_sin_phprc({kEnEpoca}), escena_.ruta());
            usleep(300000);
            corriendo.senal(senal);
            const resultado r = corriendo.espera();
            EXPECT_EQ(std::set<std::string>{}, restos_junto_a(escena_ / destino));
            if (r.estado == 0) {
                ADD_FAILURE() << "the run ended before the signal: make the tree larger";
                continue;
            }
            EXPECT_EQ(128 + senal, r.estado);
            const std::string despues = lee_fichero(escena_ / destino);
            if (antes != despues) {
                // On a busy machine the signal may come just after the new
                // archive took its place: then that archive must be whole.
                ASSERT_EQ(0, kexo({"-j2", "origen", destino}).estado);
                EXPECT_TRUE(despues == lee_fichero(escena_ / destino))
                    << "the archive before changed, and not into a whole one";
            }
        }
    }
}

// Two runs into one archive at once: each ends well, and what is left is
// one whole archive, the one a run alone writes.
TEST_F(ArbolPaquete, DosALaVez) {
    planta_arbol(escena_ / "origen", kEpoca + 1000);
    for (int i = 0; i < 300; ++i) {
        escribe_fichero(escena_ / "origen/sub" / ("m" + std::to_string(i) + ".php"),
                        "<?php\n  $m = " + std::to_string(i) + "; // c\n");
    }
    for (const char* destino : {"p.phar", "p.zip", "p.tgz"}) {
        SCOPED_TRACE(destino);
        // Alone, into a folder of its own: a PHAR's alias is its file's name.
        fs::create_directories(escena_ / "solo");
        ASSERT_EQ(0, kexo({"origen", std::string("solo/") + destino}).estado);
        proceso uno(orden_de(KEXO_BINARIO_ARBOL, {"origen", destino}),
                    entorno_sin_phprc({kEnEpoca}), escena_.ruta());
        proceso otro(orden_de(KEXO_BINARIO_ARBOL, {"origen", destino}),
                     entorno_sin_phprc({kEnEpoca}), escena_.ruta());
        EXPECT_EQ(0, uno.espera().estado);
        EXPECT_EQ(0, otro.espera().estado);
        EXPECT_TRUE(lee_fichero(escena_ / "solo" / destino) == lee_fichero(escena_ / destino));
        EXPECT_EQ(std::set<std::string>{}, restos_junto_a(escena_ / destino));
    }
}

// What a PHAR's options name, wrong: refused before anything is written, the
// archive before left as it was.
TEST_F(ArbolPaquete, OpcionesDelPharRehusadas) {
    planta_arbol(escena_ / "origen", kEpoca + 1000);
    escribe_fichero(escena_ / "sin-halt.php", "<?php echo 'stub';\n");
    escribe_fichero(escena_ / "halt-minusculas.php", "<?php __halt_compiler();");
    const struct {
        std::vector<std::string> opciones;
        const char* mensaje;
    } filas[] = {
        {{"--stub", "sin-halt.php"}, "Stub no valido en sin-halt.php"},
        {{"--stub", "halt-minusculas.php"}, "Stub no valido en halt-minusculas.php"},
        {{"--principal=falta.php"}, "--principal: falta.php"},
        {{"--principal=fuera/x.txt", "-x", "fuera"}, "--principal: fuera/x.txt"},
        {{"--principal=sub"}, "--principal: sub"},
        {{"--principal=texto.txt", "-s"}, "--principal: texto.txt"},
    };
    ASSERT_EQ(0, kexo({"origen", "p.phar"}).estado);
    const std::string antes = lee_fichero(escena_ / "p.phar");
    for (const auto& f : filas) {
        for (const char* destino : {"p.phar", "nuevo.phar"}) {
            SCOPED_TRACE(testing::PrintToString(f.opciones) + " " + destino);
            std::vector<std::string> argumentos = f.opciones;
            argumentos.insert(argumentos.end(), {"origen", destino});
            const resultado r = kexo(argumentos);
            EXPECT_EQ(1, r.estado);
            EXPECT_NE(std::string::npos, r.errores.find(f.mensaje)) << r.errores;
            EXPECT_EQ("", r.salida);
            EXPECT_EQ(std::set<std::string>{}, restos_junto_a(escena_ / "p.phar"));
            EXPECT_FALSE(fs::exists(escena_ / "nuevo.phar"));
            EXPECT_TRUE(antes == lee_fichero(escena_ / "p.phar"));
        }
    }
}

// A PHAR signed as asked, and PHP refusing a copy with one byte of a file's
// changed.
TEST_F(ArbolPaquete, FirmaDelPhar) {
    if (busca("php").empty()) {
        GTEST_SKIP() << "php is not installed";
    }
    fs::create_directories(escena_ / "origen");
    escribe_fichero(escena_ / "origen/m.txt", "MARCA-DE-INTEGRIDAD");
    escribe_fichero(escena_ / "origen/a.php", "<?php return 1;");
    const char* const kAbre =
        "try { $p = new Phar($argv[1]); echo $p->getSignature()['hash_type'], ' ', "
        "file_get_contents('phar://' . $argv[1] . '/m.txt'); } "
        "catch (Exception $e) { echo 'rechazado'; }";
    const struct {
        std::vector<std::string> opciones;
        const char* firma;
    } filas[] = {{{}, "SHA-256"}, {{"--firma=sha256"}, "SHA-256"}, {{"--firma=sha512"}, "SHA-512"}};
    for (const auto& f : filas) {
        SCOPED_TRACE(testing::PrintToString(f.opciones));
        std::vector<std::string> argumentos = f.opciones;
        argumentos.insert(argumentos.end(), {"origen", "p.phar"});
        ASSERT_EQ(0, kexo(argumentos).estado);
        std::string bytes = lee_fichero(escena_ / "p.phar");
        const std::size_t marca = bytes.find("MARCA-DE-INTEGRIDAD");
        ASSERT_NE(std::string::npos, marca);
        const auto abre = [&](const std::string& copia) {
            escribe_fichero(escena_ / "copia.phar", copia);
            return corre({"php", "-d", "phar.require_hash=1", "-r", kAbre,
                          (escena_ / "copia.phar").string()},
                         escena_.ruta())
                .salida;
        };
        EXPECT_EQ(std::string(f.firma) + " MARCA-DE-INTEGRIDAD", abre(bytes));
        bytes[marca + 3] = 'c';
        EXPECT_EQ("rechazado", abre(bytes));
    }
}

}  // namespace
}  // namespace kexo
