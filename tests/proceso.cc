#include "tests/proceso.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace kexo {

namespace fs = std::filesystem;

std::vector<std::string> orden_de(const std::string& binario,
                                  const std::vector<std::string>& argumentos) {
    std::vector<std::string> orden = {binario};
#if defined(KEXO_WINE)
    orden.insert(orden.begin(), KEXO_WINE);
#endif
    orden.insert(orden.end(), argumentos.begin(), argumentos.end());
    return orden;
}

carpeta_temporal::carpeta_temporal(const fs::path& dentro) {
    const fs::path donde = dentro.empty() ? fs::temp_directory_path() : dentro;
    std::string plantilla = (donde / "kexo_prueba_XXXXXX").string();
    if (mkdtemp(plantilla.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    ruta_ = plantilla;
}

carpeta_temporal::~carpeta_temporal() {
    std::error_code error;
    fs::remove_all(ruta_, error);
}

std::string copia_para_todos(const std::string& binario, const fs::path& carpeta) {
    const fs::path copia = carpeta / fs::path(binario).filename();
    fs::copy_file(binario, copia, fs::copy_options::overwrite_existing);
    fs::permissions(copia, fs::perms(0755));
    return copia.string();
}

std::string lee_fichero(const fs::path& ruta) {
    std::ifstream archivo(ruta, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(archivo), std::istreambuf_iterator<char>());
}

void escribe_fichero(const fs::path& ruta, std::string_view bytes) {
    std::ofstream(ruta, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

namespace {

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

std::vector<char*> punteros(std::vector<std::string>& textos) {
    std::vector<char*> lista;
    for (std::string& t : textos) {
        lista.push_back(t.data());
    }
    lista.push_back(nullptr);
    return lista;
}

// True when `variable` ("NAME=value") sets the variable that one of `otras` sets.
bool la_fija_otra(std::string_view variable, const std::vector<std::string>& otras) {
    const std::string_view nombre = variable.substr(0, variable.find('=') + 1);
    if (nombre.empty()) {
        return false;
    }
    for (const std::string& otra : otras) {
        if (std::string_view(otra).substr(0, otra.find('=') + 1) == nombre) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> entorno_sin_phprc(const std::vector<std::string>& mas) {
    std::vector<std::string> entorno;
    for (char** v = environ; *v != nullptr; ++v) {
        if (!es_phprc(*v) && !la_fija_otra(*v, mas)) {
            entorno.emplace_back(*v);
        }
    }
    entorno.insert(entorno.end(), mas.begin(), mas.end());
    return entorno;
}

proceso::proceso(const std::vector<std::string>& orden, const std::vector<std::string>& entorno,
                 const fs::path& directorio, limites limite) {
    std::vector<std::string> argumentos = orden;
    std::vector<std::string> variables = entorno;
    std::vector<char*> argv = punteros(argumentos);
    std::vector<char*> envp = punteros(variables);
    int tubo[2];
    if (pipe(tubo) != 0) {
        throw std::runtime_error("pipe");
    }
    // A file, not a pipe: read after the child ends, however much it wrote.
    char plantilla[] = "/tmp/kexo-errores-XXXXXX";
    errores_ = mkstemp(plantilla);
    if (errores_ < 0) {
        throw std::runtime_error("mkstemp");
    }
    unlink(plantilla);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(tubo[1], STDOUT_FILENO);
        dup2(errores_, STDERR_FILENO);
        close(errores_);
        close(tubo[0]);
        close(tubo[1]);
        const rlimit memoria{limite.memoria, limite.memoria};
        const rlimit descriptores{limite.descriptores, limite.descriptores};
        if ((limite.memoria != 0 && setrlimit(RLIMIT_AS, &memoria) != 0) ||
            (limite.descriptores != 0 && setrlimit(RLIMIT_NOFILE, &descriptores) != 0) ||
            (limite.usuario != 0 && (setgid(limite.usuario) != 0 || setuid(limite.usuario) != 0))) {
            _exit(126);
        }
        if (chdir(directorio.c_str()) == 0) {
            execve(argv[0], argv.data(), envp.data());
        }
        _exit(127);
    }
    close(tubo[1]);
    salida_ = tubo[0];
}

void proceso::senal(int numero) const {
    kill(pid_, numero);
}

resultado proceso::espera() {
    std::string salida;
    char bloque[4096];
    for (ssize_t n; (n = read(salida_, bloque, sizeof bloque)) > 0;) {
        salida.append(bloque, static_cast<std::size_t>(n));
    }
    close(salida_);
    int estado = 0;
    struct rusage uso {};
    wait4(pid_, &estado, 0, &uso);
    std::string errores;
    for (ssize_t n;
         (n = pread(errores_, bloque, sizeof bloque, static_cast<off_t>(errores.size()))) > 0;) {
        errores.append(bloque, static_cast<std::size_t>(n));
    }
    close(errores_);
    return {salida, errores, WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado),
            uso.ru_maxrss};
}

montajes::~montajes() {
    for (auto punto = puntos_.rbegin(); punto != puntos_.rend(); ++punto) {
        umount2(punto->c_str(), MNT_DETACH);
    }
}

bool montajes::monta(const std::string& tipo, const fs::path& punto, const std::string& opciones,
                     bool enlaza) {
    fs::create_directories(punto);
    const int hecho = enlaza
                          ? mount(tipo.c_str(), punto.c_str(), nullptr, MS_BIND, nullptr)
                          : mount(tipo.c_str(), punto.c_str(), tipo.c_str(), 0, opciones.c_str());
    if (hecho != 0) {
        return false;
    }
    puntos_.push_back(punto);
    return true;
}

bool montajes::monta_imagen(const std::string& tipo, const fs::path& imagen, std::uintmax_t megas,
                            const fs::path& punto, const std::vector<std::string>& opciones) {
    if (geteuid() != 0) {
        return false;
    }
    escribe_fichero(imagen, "");
    fs::resize_file(imagen, megas << 20);
    fs::create_directories(punto);
    // The tools by name, wherever the system keeps them.
    const std::vector<std::string> entorno =
        entorno_sin_phprc({"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    const std::string fuerza = tipo == "xfs" ? "-f" : "-F";
    std::vector<std::string> mkfs{"/bin/sh", "-c", "t=$1; shift; mkfs.\"$t\" -q \"$@\"",
                                  "sh",      tipo, fuerza};
    mkfs.insert(mkfs.end(), opciones.begin(), opciones.end());
    mkfs.push_back(imagen.string());
    if (ejecuta(mkfs, entorno, "/").estado != 0 ||
        ejecuta(
            {"/bin/sh", "-c", "mount -o loop \"$1\" \"$2\"", "sh", imagen.string(), punto.string()},
            entorno, "/")
                .estado != 0) {
        return false;
    }
    puntos_.push_back(punto);
    return true;
}

resultado ejecuta(const std::vector<std::string>& orden, const std::vector<std::string>& entorno,
                  const fs::path& directorio, limites limite) {
    return proceso(orden, entorno, directorio, limite).espera();
}

}  // namespace kexo
