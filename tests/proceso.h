// What the end-to-end tests share: a scratch folder, files as bytes, and a
// child process run with a given environment and its standard output caught.
#ifndef KEXO_TESTS_PROCESO_H_
#define KEXO_TESTS_PROCESO_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kexo {

// The end-to-end tests run the Linux program, or, built with KEXO_WINE naming
// the loader, the Windows program under Wine, with what Windows does instead.
#if defined(KEXO_WINE)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// The command that runs the program `binario` under test with `argumentos`.
std::vector<std::string> orden_de(const std::string& binario,
                                  const std::vector<std::string>& argumentos);

// A fresh folder under /tmp, or under `dentro` when given, removed with all it
// holds when it goes out of scope.
class carpeta_temporal {
   public:
    explicit carpeta_temporal(const std::filesystem::path& dentro = {});
    ~carpeta_temporal();
    carpeta_temporal(const carpeta_temporal&) = delete;
    carpeta_temporal& operator=(const carpeta_temporal&) = delete;

    const std::filesystem::path& ruta() const { return ruta_; }
    std::filesystem::path operator/(const std::filesystem::path& nombre) const {
        return ruta_ / nombre;
    }

   private:
    std::filesystem::path ruta_;
};

// A copy of the program `binario` in `carpeta`, that any user may run: the
// build folder may lie where another user cannot reach it.
std::string copia_para_todos(const std::string& binario, const std::filesystem::path& carpeta);

std::string lee_fichero(const std::filesystem::path& ruta);
void escribe_fichero(const std::filesystem::path& ruta, std::string_view bytes);

// This process's environment without PHPRC (in any letter case), plus `mas`,
// whose variables replace those of the same name.
std::vector<std::string> entorno_sin_phprc(const std::vector<std::string>& mas = {});

struct resultado {
    std::string salida;   // standard output
    std::string errores;  // standard error
    int estado;           // exit status, or 128 + the signal that ended it
    long memoria_kib;     // peak resident memory
};

struct limites {
    rlim_t memoria = 0;       // when not 0, the child's address space in bytes
    uid_t usuario = 0;        // when not 0, the user (and group) the child runs as
    rlim_t descriptores = 0;  // when not 0, how many descriptors the child may have open
};

// File systems mounted for a test, unmounted when it goes out of scope.
class montajes {
   public:
    montajes() = default;
    ~montajes();
    montajes(const montajes&) = delete;
    montajes& operator=(const montajes&) = delete;

    // Mounts `tipo` (with `opciones`) at `punto`, made if missing; with
    // `enlaza`, binds the folder `tipo` there instead. False where this
    // machine refuses it.
    bool monta(const std::string& tipo, const std::filesystem::path& punto,
               const std::string& opciones, bool enlaza = false);
    // Makes a `tipo` file system (ext4, xfs) with its tools' default options,
    // and `opciones` after them, in a new image file `imagen` of `megas` MiB
    // and mounts it at `punto` through a loop device. False where the tools
    // are missing or this machine refuses it.
    bool monta_imagen(const std::string& tipo, const std::filesystem::path& imagen,
                      std::uintmax_t megas, const std::filesystem::path& punto,
                      const std::vector<std::string>& opciones = {});

   private:
    std::vector<std::filesystem::path> puntos_;
};

// A child running orden[0] with the arguments that follow, in `directorio`,
// with `entorno`, its standard output and standard error caught.
class proceso {
   public:
    proceso(const std::vector<std::string>& orden, const std::vector<std::string>& entorno,
            const std::filesystem::path& directorio, limites limite = {});
    proceso(const proceso&) = delete;
    proceso& operator=(const proceso&) = delete;

    void senal(int numero) const;
    pid_t pid() const { return pid_; }
    // Waits for the child to end.
    resultado espera();

   private:
    pid_t pid_;
    int salida_;   // the read end of its standard output
    int errores_;  // a file no name leads to, its standard error
};

resultado ejecuta(const std::vector<std::string>& orden, const std::vector<std::string>& entorno,
                  const std::filesystem::path& directorio, limites limite = {});

}  // namespace kexo

#endif  // KEXO_TESTS_PROCESO_H_
