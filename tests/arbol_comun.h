// What kexo-arbol's end-to-end tests share: running it, reading back the
// trees it wrote, and a generated tree to run it on.
#ifndef KEXO_TESTS_ARBOL_COMUN_H_
#define KEXO_TESTS_ARBOL_COMUN_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "common/carpeta.h"
#include "common/ficheros.h"
#include "salida/lectura.h"
#include "tests/proceso.h"
#include "tree/estado.h"
#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {

namespace fs = std::filesystem;

// Every entry under `raiz`: a file's bytes and permission bits, a link's target.
inline std::map<std::string, std::string> contenido(const fs::path& raiz) {
    std::map<std::string, std::string> todo;
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        const std::string nombre = fs::relative(i->path(), raiz).string();
        struct stat estado;
        lstat(i->path().c_str(), &estado);
        todo[nombre] = std::to_string(estado.st_mode) +
                       (i->is_symlink()     ? " -> " + fs::read_symlink(i->path()).string()
                        : i->is_directory() ? ""
                                            : " " + lee_fichero(i->path()));
    }
    return todo;
}

// The names in `carpeta`.
inline std::set<std::string> nombres_en(const fs::path& carpeta) {
    std::set<std::string> todos;
    for (const auto& e : fs::directory_iterator(carpeta)) {
        todos.insert(e.path().filename().string());
    }
    return todos;
}

inline std::map<std::string, std::string> huellas(const fs::path& raiz);
inline bool guarda_atributos(const fs::path& carpeta);
inline void termina_con(const resultado& r, const std::string& resumen);

inline resultado arbol(const fs::path& carpeta, const std::vector<std::string>& argumentos,
                       limites limite = {}, const std::string& binario = KEXO_BINARIO_ARBOL) {
    return ejecuta(orden_de(binario, argumentos), entorno_sin_phprc(), carpeta, limite);
}

// The same, by kexo's rules where they keep the program: for the tests that
// expect kexo's bytes.
inline resultado arbol_kexo(const fs::path& carpeta, std::vector<std::string> argumentos,
                            limites limite = {}, const std::string& binario = KEXO_BINARIO_ARBOL) {
    argumentos.insert(argumentos.begin(), "--modo=kexo");
    return arbol(carpeta, argumentos, limite, binario);
}

// A generated tree: PHP files with CR LF, text files, bits, a link in and one
// out, a FIFO.
class ArbolGenerado : public ::testing::Test {
   protected:
    void SetUp() override {
        for (int i = 0; i < 60; ++i) {
            const fs::path carpeta =
                origen_ / ("d" + std::to_string(i % 7)) / std::to_string(i % 3);
            fs::create_directories(carpeta);
            const std::string n = std::to_string(i);
            escribe_fichero(carpeta / (n + ".php"), "<?php\r\n  $a = " + n + "; // c\r\n");
            escribe_fichero(carpeta / ("h" + n + ".php"),
                            "<?php $h = <<<X\r\n  " + n + "\r\nX;\r\n");
            escribe_fichero(carpeta / (n + ".txt"), "texto " + n);
            fs::permissions(carpeta / (n + ".php"), fs::perms(i % 2 ? 0600 : 0755));
        }
        fs::last_write_time(origen_ / "d0/0/0.php",
                            fs::file_time_type(std::chrono::hours(24 * 365 * 40)));
        fs::create_symlink("0/0.php", origen_ / "d0/enlace.php");
        fs::create_symlink("/etc/passwd", origen_ / "d0/fuera");
        mkfifo((origen_ / "d1/tubo.php").c_str(), 0600);
    }
    const carpeta_temporal escena_;
    const fs::path origen_ = escena_ / "origen";
};

// The owner and permission bits of `ruta`, its link not followed.
inline std::pair<uid_t, mode_t> dueno_y_modo(const fs::path& ruta) {
    struct stat estado {};
    lstat(ruta.c_str(), &estado);
    return {estado.st_uid, estado.st_mode & 07777};
}

// What the walk lists, as "ruta:tipo" (d folder, p PHP, o other file) in
// path order, for the tree `rutas` (a trailing `/`: a folder) and the filter
// `que`.
inline std::string listado(const std::vector<std::string>& rutas, filtro& que) {
    const carpeta_temporal escena;
    for (const std::string& ruta : rutas) {
        if (ruta.back() == '/') {
            fs::create_directories(escena / "origen" / ruta);
        } else {
            fs::create_directories((escena / "origen" / ruta).parent_path());
            escribe_fichero(escena / "origen" / ruta, "<?php $a = 1; // c\n");
        }
    }
    carpeta raiz;
    EXPECT_EQ(0, abre_carpeta((escena / "origen").string(), raiz));
    std::string hallado;
    for (const entrada& e : recorre(raiz, que, {}).entradas) {
        hallado += (hallado.empty() ? "" : " ") + e.ruta + ":" +
                   (e.tipo == tipo_entrada::carpeta ? "d"
                    : e.tipo == tipo_entrada::php   ? "p"
                                                    : "o");
    }
    return hallado;
}

inline struct stat estado_de(const fs::path& ruta) {
    struct stat estado {};
    lstat(ruta.c_str(), &estado);
    return estado;
}

// Every entry under `raiz` as a fresh run must give it: kind, bytes or a
// link's target, permission bits, owner and group, modification time in ns.
inline std::map<std::string, std::string> foto(const fs::path& raiz) {
    std::map<std::string, std::string> todo;
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        struct stat estado;
        lstat(i->path().c_str(), &estado);
        std::string dato = std::to_string(estado.st_mode) + " " + std::to_string(estado.st_uid) +
                           ":" + std::to_string(estado.st_gid) + " " +
                           std::to_string(estado.st_mtim.tv_sec) + "." +
                           std::to_string(estado.st_mtim.tv_nsec);
        if (S_ISLNK(estado.st_mode)) {
            dato += " -> " + fs::read_symlink(i->path()).string();
        } else if (S_ISREG(estado.st_mode)) {
            dato += " " + lee_fichero(i->path());
        }
        todo[i->path().lexically_relative(raiz).string()] = dato;
    }
    return todo;
}

// Each entry under `raiz` by its inode and its modification and change
// times: all three stay when a run leaves the entry alone.
inline std::map<std::string, std::string> huellas(const fs::path& raiz) {
    std::map<std::string, std::string> todas;
    for (auto i = fs::recursive_directory_iterator(raiz); i != fs::recursive_directory_iterator();
         ++i) {
        struct stat e;
        lstat(i->path().c_str(), &e);
        todas[i->path().lexically_relative(raiz).string()] =
            std::to_string(e.st_ino) + " " + std::to_string(e.st_mtim.tv_sec) + "." +
            std::to_string(e.st_mtim.tv_nsec) + " " + std::to_string(e.st_ctim.tv_sec) + "." +
            std::to_string(e.st_ctim.tv_nsec);
    }
    return todas;
}

// The paths whose print differs between `antes` and `despues`, either side.
inline std::set<std::string> cambiadas(const std::map<std::string, std::string>& antes,
                                       const std::map<std::string, std::string>& despues) {
    std::set<std::string> distintas;
    for (const auto& [ruta, dato] : antes) {
        const auto otra = despues.find(ruta);
        if (otra == despues.end() || otra->second != dato) {
            distintas.insert(ruta);
        }
    }
    for (const auto& [ruta, dato] : despues) {
        if (antes.count(ruta) == 0) {
            distintas.insert(ruta);
        }
    }
    return distintas;
}

// True where files in `carpeta` keep extended attributes of the user's.
inline bool guarda_atributos(const fs::path& carpeta) {
    const fs::path prueba = carpeta / "prueba-atributos";
    escribe_fichero(prueba, "");
    const bool guarda = setxattr(prueba.c_str(), "user.prueba", "1", 1, 0) == 0;
    fs::remove(prueba);
    return guarda;
}

// The run `r` ended well, and its summary holds `resumen`.
inline void termina_con(const resultado& r, const std::string& resumen) {
    EXPECT_EQ(0, r.estado) << r.salida;
    EXPECT_NE(std::string::npos, r.salida.find(resumen)) << r.salida;
}

inline resultado arbol_con(const fs::path& carpeta, const std::vector<std::string>& argumentos,
                           const std::vector<std::string>& entorno) {
    return ejecuta(orden_de(KEXO_BINARIO_ARBOL, argumentos), entorno_sin_phprc(entorno), carpeta);
}

// Runs kexo-arbol with `argumentos` (less the two roots) from `origen` into a
// fresh folder, and expects `destino` to be what it wrote.
inline void igual_que_nueva(const fs::path& escena, const std::vector<std::string>& argumentos,
                            const std::string& origen, const std::string& destino,
                            const std::vector<std::string>& entorno = {}) {
    static int vez = 0;
    const std::string nueva = "nueva-" + std::to_string(++vez);
    std::vector<std::string> todos = argumentos;
    todos.push_back(origen);
    todos.push_back(nueva);
    ASSERT_EQ(0, arbol_con(escena, todos, entorno).estado);
    EXPECT_EQ(foto(escena / nueva), foto(escena / destino));
}

// Sets the modification time of `ruta` to `segundos`.
inline void pon_tiempo(const fs::path& ruta, long segundos) {
    const struct timespec tiempos[2] = {{segundos, 0}, {segundos, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, ruta.c_str(), tiempos, 0));
}

// Each file `nombre` of a destination printed `antes` and `despues` (huellas)
// is the same file in both, its inode the print's first field: not written again.
inline void espera_no_reescrito(const std::map<std::string, std::string>& antes,
                                const std::map<std::string, std::string>& despues,
                                const std::string& nombre) {
    EXPECT_EQ(antes.at(nombre).substr(0, antes.at(nombre).find(' ')),
              despues.at(nombre).substr(0, despues.at(nombre).find(' ')))
        << nombre << ": written again";
}

// A default ACL on `carpeta` that gives new files the bits `modo` (of 0666)
// whatever the umask. Returns false where the file system keeps no ACLs.
inline bool pon_acl_por_defecto(const fs::path& carpeta, mode_t modo) {
    struct entrada_acl {
        std::uint16_t etiqueta;
        std::uint16_t permisos;
        std::uint32_t id;
    };
    struct {
        std::uint32_t version = 2;
        entrada_acl entradas[3] = {{0x01, 0, ~0u}, {0x04, 0, ~0u}, {0x20, 0, ~0u}};
    } acl;
    for (int i = 0; i < 3; ++i) {
        acl.entradas[i].permisos = static_cast<std::uint16_t>((modo >> (6 - 3 * i)) & 7);
    }
    return setxattr(carpeta.c_str(), "system.posix_acl_default", &acl, sizeof acl, 0) == 0;
}

// What a file is as its copy must have it: bits, owner and group.
inline std::string atributos_de(const fs::path& ruta) {
    struct stat e {};
    lstat(ruta.c_str(), &e);
    return std::to_string(e.st_mode & 07777) + " " + std::to_string(e.st_uid) + ":" +
           std::to_string(e.st_gid);
}

}  // namespace kexo

#endif  // KEXO_TESTS_ARBOL_COMUN_H_
