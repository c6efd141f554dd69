#include "tests/proceso.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

carpeta_temporal::carpeta_temporal() {
    std::string plantilla = (fs::temp_directory_path() / "kexo_prueba_XXXXXX").string();
    if (mkdtemp(plantilla.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    ruta_ = plantilla;
}

carpeta_temporal::~carpeta_temporal() {
    std::error_code error;
    fs::remove_all(ruta_, error);
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

}  // namespace

std::vector<std::string> entorno_sin_phprc(const std::vector<std::string>& mas) {
    std::vector<std::string> entorno;
    for (char** v = environ; *v != nullptr; ++v) {
        if (!es_phprc(*v)) {
            entorno.emplace_back(*v);
        }
    }
    entorno.insert(entorno.end(), mas.begin(), mas.end());
    return entorno;
}

resultado ejecuta(const std::vector<std::string>& orden, const std::vector<std::string>& entorno,
                  const fs::path& directorio, rlim_t memoria) {
    std::vector<std::string> argumentos = orden;
    std::vector<std::string> variables = entorno;
    std::vector<char*> argv = punteros(argumentos);
    std::vector<char*> envp = punteros(variables);
    int tubo[2];
    if (pipe(tubo) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t hijo = fork();
    if (hijo == 0) {
        dup2(tubo[1], STDOUT_FILENO);
        close(tubo[0]);
        close(tubo[1]);
        const rlimit limite{memoria, memoria};
        if (memoria != 0 && setrlimit(RLIMIT_AS, &limite) != 0) {
            _exit(126);
        }
        if (chdir(directorio.c_str()) == 0) {
            execve(argv[0], argv.data(), envp.data());
        }
        _exit(127);
    }
    close(tubo[1]);
    std::string salida;
    char bloque[4096];
    for (ssize_t n; (n = read(tubo[0], bloque, sizeof bloque)) > 0;) {
        salida.append(bloque, static_cast<std::size_t>(n));
    }
    close(tubo[0]);
    int estado = 0;
    waitpid(hijo, &estado, 0);
    return {salida, WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado)};
}
