#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "salida/deflate.h"
#include "salida/paquete.h"
#include "salida/tar.h"
#include "salida/zip.h"
#include "tests/proceso.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

// One entry as the writer is given it, and what a reader must find.
struct fila {
    pieza_paquete que;
    std::string bytes;     // a file's (and a hard link's) bytes
    bool flujo = false;    // added with anade_flujo
    const char* dos = "";  // the zip's DOS time as Python shows it
    int metodo = 0;        // the zip's compression method
};

std::string texto_php(std::size_t largo) {
    std::string s;
    for (std::size_t i = 0; s.size() < largo; ++i) {
        s += "<?php function f" + std::to_string(i) + "($a) { return $a * " + std::to_string(i) +
             "; }\n";
    }
    s.resize(largo);
    return s;
}

std::string ruido(std::size_t largo) {
    std::string s;
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < largo; ++i) {
        x = x * 1103515245 + 12345;
        s += static_cast<char>(x >> 24);
    }
    return s;
}

pieza_paquete pieza_de(std::string ruta, clase_pieza_paquete clase, std::uint32_t modo,
                       std::int64_t tiempo, std::string objetivo = {}) {
    pieza_paquete p;
    p.ruta = std::move(ruta);
    p.clase = clase;
    p.modo = modo;
    p.tiempo = tiempo;
    p.objetivo = std::move(objetivo);
    return p;
}

const std::string kLargo = "largo/" + std::string(120, 'n') + ".php";
const std::string kPartido = std::string(60, 'p') + "/" + std::string(80, 'q') + ".php";

std::vector<fila> filas() {
    using c = clase_pieza_paquete;
    const std::string texto = texto_php(5000);
    return {
        {pieza_de("a.php", c::fichero, 0644, 1700000000), texto, false, "2023-11-14 22:13:20", 8},
        {pieza_de("vacia", c::carpeta, 0755, 0), "", false, "1980-01-01 00:00:00", 0},
        {pieza_de("d", c::carpeta, 0700, 315532801), "", false, "1980-01-01 00:00:00", 0},
        {pieza_de("d/x.bin", c::fichero, 0600, 100000000), ruido(3000), false,
         "1980-01-01 00:00:00", 0},
        {pieza_de("d/enlace", c::enlace, 0777, 1600000000, "../a.php"), "", false,
         "2020-09-13 12:26:40", 0},
        {pieza_de("d/duro", c::enlace_duro, 0644, 1700000000, "a.php"), texto, false,
         "2023-11-14 22:13:20", 8},
        {pieza_de("run.sh", c::fichero, 0755, 1234567891), "#!/bin/sh\necho\n", false,
         "2009-02-13 23:31:30", 0},
        {pieza_de(kLargo, c::fichero, 0644, 1000000000), "largo", false, "2001-09-09 01:46:40", 0},
        {pieza_de(kPartido, c::fichero, 0644, 1000000000), "partido", false, "2001-09-09 01:46:40",
         0},
        {pieza_de("ñandú café.php", c::fichero, 0644, 1500000000), "utf8", false,
         "2017-07-14 02:40:00", 0},
        {pieza_de("mal\xff\xfe.php", c::fichero, 0644, 1500000000), "mal", false,
         "2017-07-14 02:40:00", 0},
        {pieza_de("flujo.php", c::fichero, 0640, 1400000000), texto_php(300000), true,
         "2014-05-13 16:53:20", 8},
        {pieza_de("vacio.php", c::fichero, 0644, 1400000000), "", false, "2014-05-13 16:53:20", 0},
        {pieza_de("viejo.php", c::fichero, 0644, -86400), "viejo", false, "1980-01-01 00:00:00", 0},
    };
}

std::string hex(std::string_view s) {
    static const char kCifras[] = "0123456789abcdef";
    std::string r;
    for (const char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        r += kCifras[b >> 4];
        r += kCifras[b & 15];
    }
    return r;
}

std::string octal(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0o%o", v);
    return b;
}

// A sumidero that goes only forward: a tgz's writer must never go back.
class sumidero_adelante final : public sumidero {
   public:
    int escribe(std::string_view b) override { return memoria.escribe(b); }
    int escribe_en(std::uint64_t, std::string_view) override { return EIO; }
    int lee_en(std::uint64_t, char*, std::size_t) override { return EIO; }
    std::uint64_t tamano() const override { return memoria.tamano(); }
    sumidero_memoria memoria;
};

void escribe_filas(escritor_paquete& w, const std::vector<fila>& tabla) {
    for (const fila& f : tabla) {
        SCOPED_TRACE(f.que.ruta);
        if (f.que.clase != clase_pieza_paquete::fichero) {
            ASSERT_EQ(w.anade(f.que), 0);
        } else if (f.flujo) {
            std::size_t desde = 0;
            ASSERT_EQ(w.anade_flujo(f.que,
                                    [&](std::string& bloque) {
                                        bloque = f.bytes.substr(desde, 70000);
                                        desde += bloque.size();
                                        return 0;
                                    }),
                      0);
        } else {
            ASSERT_EQ(w.anade(f.que, w.prepara(f.bytes)), 0);
        }
    }
    ASSERT_EQ(w.termina(), 0);
}

std::string zip_de(const std::vector<fila>& tabla, const limites_zip& limites) {
    opciones_paquete como;
    como.formato = formato_paquete::zip;
    como.comprime = true;
    sumidero_memoria salida;
    escribe_filas(*crea_escritor_zip(como, salida, limites), tabla);
    return salida.bytes();
}

std::string tar_de(const std::vector<fila>& tabla, bool gzip) {
    opciones_paquete como;
    como.formato = gzip ? formato_paquete::tgz : formato_paquete::tar;
    sumidero_adelante salida;
    sumidero_memoria aparte;
    escribe_filas(*crea_escritor_tar(como, salida, aparte, gzip), tabla);
    return salida.memoria.bytes();
}

// The path of `programa` on PATH, or empty.
std::string busca(const std::string& programa) {
    const char* ruta = std::getenv("PATH");
    std::string_view resto = ruta ? ruta : "";
    while (!resto.empty()) {
        const std::size_t dos_puntos = std::min(resto.find(':'), resto.size());
        const fs::path candidato = fs::path(resto.substr(0, dos_puntos)) / programa;
        if (access(candidato.c_str(), X_OK) == 0) {
            return candidato.string();
        }
        resto.remove_prefix(std::min(dos_puntos + 1, resto.size()));
    }
    return {};
}

resultado corre(std::vector<std::string> orden, const fs::path& donde) {
    orden[0] = busca(orden[0]);
    return ejecuta(orden, entorno_sin_phprc({"LC_ALL=C.UTF-8"}), donde);
}

// Python's readers list each entry on a line; the tests build the same lines.
constexpr const char* kListaZip = R"(import sys, zipfile, zlib, struct
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    d = zipfile.ZipFile(sys.argv[1]).read(i)
    ut, e = '-', i.extra
    while len(e) >= 4:
        t, n = struct.unpack('<HH', e[:4])
        if t == 0x5455: ut = struct.unpack('<i', e[5:9])[0]
        e = e[4 + n:]
    m = i.external_attr >> 16
    print(i.filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437').hex(), oct(m),
          '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time, ut, i.compress_type, len(d),
          d.hex() if m & 0o170000 == 0o120000 else zlib.crc32(d))
)";
constexpr const char* kListaTar = R"(import sys, tarfile, zlib
for i in tarfile.open(sys.argv[1]):
    n = lambda s: s.encode('utf-8', 'surrogateescape').hex() or '-'
    d = tarfile.open(sys.argv[1]).extractfile(i).read() if i.isreg() else b''
    print(n(i.name.rstrip('/')), i.type.decode(), oct(i.mode), int(i.mtime), i.uid, i.gid,
          i.uname or '-', len(d), zlib.crc32(d), n(i.linkname))
)";

std::string lista_zip(const std::vector<fila>& tabla) {
    std::string r;
    for (const fila& f : tabla) {
        const pieza_paquete& p = f.que;
        const bool carpeta = p.clase == clase_pieza_paquete::carpeta;
        const bool enlace = p.clase == clase_pieza_paquete::enlace;
        const std::uint32_t tipo = carpeta ? 040000 : enlace ? 0120000 : 0100000;
        const std::string ut =
            p.tiempo >= 0 && p.tiempo <= INT32_MAX ? std::to_string(p.tiempo) : "-";
        const std::string& datos = enlace ? p.objetivo : f.bytes;
        r += hex(carpeta ? p.ruta + "/" : p.ruta) + " " + octal(tipo | p.modo) + " " + f.dos + " " +
             ut + " " + std::to_string(f.metodo) + " " + std::to_string(datos.size()) + " " +
             (enlace ? hex(datos) : std::to_string(crc32_de(datos))) + "\n";
    }
    return r;
}

std::string lista_tar(const std::vector<fila>& tabla) {
    std::string r;
    for (const fila& f : tabla) {
        const pieza_paquete& p = f.que;
        const char tipo = "0521"[static_cast<int>(p.clase)];
        const std::string datos = p.clase == clase_pieza_paquete::fichero ? f.bytes : "";
        r += hex(p.ruta) + " " + tipo + " " + octal(p.modo) + " " + std::to_string(p.tiempo) +
             " 0 0 - " + std::to_string(datos.size()) + " " + std::to_string(crc32_de(datos)) +
             " " + (p.objetivo.empty() ? "-" : hex(p.objetivo)) + "\n";
    }
    return r;
}

// The tree an extractor made from the archive: each entry's kind, bytes,
// bits, target and modification time (a zip holds no time before 1970 but
// the DOS one, which its readers take as local).
void revisa_arbol(const fs::path& raiz, const std::vector<fila>& tabla, bool zip) {
    for (const fila& f : tabla) {
        const pieza_paquete& p = f.que;
        SCOPED_TRACE(p.ruta);
        const fs::path ruta = raiz / p.ruta;
        struct stat st {};
        ASSERT_EQ(lstat(ruta.c_str(), &st), 0) << ruta;
        switch (p.clase) {
            case clase_pieza_paquete::enlace:
                ASSERT_TRUE(S_ISLNK(st.st_mode));
                EXPECT_EQ(fs::read_symlink(ruta).string(), p.objetivo);
                continue;
            case clase_pieza_paquete::carpeta:
                EXPECT_TRUE(S_ISDIR(st.st_mode));
                break;
            case clase_pieza_paquete::fichero:
            case clase_pieza_paquete::enlace_duro:
                ASSERT_TRUE(S_ISREG(st.st_mode));
                EXPECT_EQ(lee_fichero(ruta), f.bytes);
                break;
        }
        EXPECT_EQ(st.st_mode & 07777, p.modo);
        if (!zip || p.tiempo >= 0) {
            EXPECT_EQ(st.st_mtime, p.tiempo);
        }
    }
}

// Extracts `archivo` with `orden` (the archive's path last) into a new folder
// and checks what it made.
void extrae_y_revisa(std::vector<std::string> orden, const fs::path& archivo,
                     const std::vector<fila>& tabla, bool zip) {
    if (busca(orden[0]).empty()) {
        GTEST_SKIP() << orden[0] << " is not installed";
    }
    carpeta_temporal dentro;
    orden.push_back(archivo.string());
    const resultado r = corre(orden, dentro.ruta());
    ASSERT_EQ(r.estado, 0) << r.errores;
    revisa_arbol(dentro.ruta(), tabla, zip);
}

void lista_python(const char* guion, const fs::path& archivo, const std::string& esperada) {
    if (busca("python3").empty()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    const resultado r = corre({"python3", "-c", guion, archivo.string()}, archivo.parent_path());
    ASSERT_EQ(r.estado, 0) << r.errores;
    EXPECT_EQ(r.salida, esperada);
}

bool contiene(const std::string& bytes, std::string_view firma) {
    return bytes.find(firma) != std::string::npos;
}

}  // namespace

// Each zip, with the usual limits and with limits so low that sizes, offsets
// and the count go in Zip64 records, read by Python, unzip and bsdtar.
TEST(PaqueteZip, LeidoPorOtros) {
    const std::vector<fila> tabla = filas();
    const struct {
        limites_zip limites;
        bool zip64;
    } casos[] = {{{}, false}, {{4000, 5}, true}, {{0xFFFFFFFF, 5}, true}};
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.limites.bytes);
        SCOPED_TRACE(caso.limites.entradas);
        const std::string bytes = zip_de(tabla, caso.limites);
        EXPECT_EQ(zip_de(tabla, caso.limites), bytes);
        EXPECT_EQ(contiene(bytes, "PK\x06\x06"), caso.zip64);
        carpeta_temporal carpeta;
        const fs::path archivo = carpeta / "a.zip";
        escribe_fichero(archivo, bytes);
        lista_python(kListaZip, archivo, lista_zip(tabla));
        if (!busca("unzip").empty()) {
            const resultado r = corre({"unzip", "-t", archivo.string()}, carpeta.ruta());
            EXPECT_EQ(r.estado, 0) << r.salida << r.errores;
        }
        extrae_y_revisa({"bsdtar", "-xpf"}, archivo, tabla, true);
    }
}

// A tar and a tgz, read by Python, bsdtar and GNU tar; the tgz is the tar
// gzipped with a fixed header.
TEST(PaqueteTar, LeidoPorOtros) {
    const std::vector<fila> tabla = filas();
    const std::string tar = tar_de(tabla, false);
    EXPECT_EQ(tar.size() % 10240, 0u);
    EXPECT_EQ(tar_de(tabla, false), tar);
    for (const bool gzip : {false, true}) {
        SCOPED_TRACE(gzip);
        const std::string bytes = gzip ? tar_de(tabla, true) : tar;
        carpeta_temporal carpeta;
        const fs::path archivo = carpeta / (gzip ? "a.tgz" : "a.tar");
        escribe_fichero(archivo, bytes);
        if (gzip) {
            EXPECT_EQ(bytes.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10));
            if (!busca("python3").empty()) {
                const resultado r = corre({"python3", "-c",
                                           "import gzip,sys; sys.stdout.buffer.write("
                                           "gzip.decompress(open(sys.argv[1],'rb').read()))",
                                           archivo.string()},
                                          carpeta.ruta());
                EXPECT_TRUE(r.salida == tar) << r.errores;
            }
        }
        lista_python(kListaTar, archivo, lista_tar(tabla));
        extrae_y_revisa({"bsdtar", "-xpf"}, archivo, tabla, false);
        extrae_y_revisa({"tar", "-xpf"}, archivo, tabla, false);
    }
}

// What a writer refuses, and a reader's error passed on, in each format.
TEST(PaqueteZipTar, Errores) {
    using c = clase_pieza_paquete;
    for (const formato_paquete formato : {formato_paquete::zip, formato_paquete::tar}) {
        SCOPED_TRACE(static_cast<int>(formato));
        sumidero_memoria salida;
        sumidero_memoria aparte;
        opciones_paquete como;
        como.comprime = true;
        const auto w = formato == formato_paquete::zip
                           ? crea_escritor_zip(como, salida, aparte)
                           : crea_escritor_tar(como, salida, aparte, false);
        EXPECT_EQ(
            w->anade_flujo(pieza_de("f", c::fichero, 0644, 0), [](std::string&) { return EIO; }),
            EIO);
        EXPECT_EQ(w->anade(pieza_de("f", c::fichero, 0644, 0)), EINVAL);
        EXPECT_EQ(w->anade(pieza_de("d", c::carpeta, 0755, 0), w->prepara("x")), EINVAL);
        if (formato == formato_paquete::zip) {
            // Another name of a file that is not in the archive.
            EXPECT_EQ(w->anade(pieza_de("h", c::enlace_duro, 0644, 0, "nada")), ENOENT);
            EXPECT_EQ(w->anade(pieza_de(std::string(0xFFFF, 'n'), c::carpeta, 0755, 0)),
                      ENAMETOOLONG);
        }
    }
}

}  // namespace kexo

// The CRC-32 of every length and alignment around the vector paths' limits,
// continuing a CRC given, is zlib's byte-by-byte one, whichever library sums.
TEST(PaqueteZipTar, Crc32ComoZlib) {
    std::string bytes(4200, '\0');
    std::uint32_t semilla = 12345;
    for (char& c : bytes) {
        semilla = semilla * 1103515245u + 12345u;
        c = static_cast<char>(semilla >> 24);
    }
    for (std::size_t desde = 0; desde < 16; ++desde) {
        for (std::size_t n = 0; n + desde <= bytes.size(); n += n < 600 ? 1 : 97) {
            const std::uint32_t antes = static_cast<std::uint32_t>(n * 2654435761u);
            uLong esperado = antes;
            for (std::size_t i = 0; i < n; ++i) {
                esperado = crc32(esperado, reinterpret_cast<const Bytef*>(&bytes[desde + i]), 1);
            }
            ASSERT_EQ(kexo::crc32_de(std::string_view(bytes).substr(desde, n), antes),
                      static_cast<std::uint32_t>(esperado))
                << "desde " << desde << ", " << n << " bytes";
        }
    }
}
