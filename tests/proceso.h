// What the end-to-end tests share: a scratch folder, files as bytes, and a
// child process run with a given environment and its standard output caught.
#ifndef KEXO_TESTS_PROCESO_H_
#define KEXO_TESTS_PROCESO_H_

#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// A fresh folder under /tmp, removed with all it holds when it goes out of scope.
class carpeta_temporal {
   public:
    carpeta_temporal();
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

std::string lee_fichero(const std::filesystem::path& ruta);
void escribe_fichero(const std::filesystem::path& ruta, std::string_view bytes);

// This process's environment without PHPRC (in any letter case), plus `mas`.
std::vector<std::string> entorno_sin_phprc(const std::vector<std::string>& mas = {});

struct resultado {
    std::string salida;  // standard output
    int estado;          // exit status, or 128 + the signal that ended it
};

// Runs orden[0] with the arguments that follow, in `directorio`, with `entorno`.
// `memoria`, when not 0, limits the child's address space in bytes.
resultado ejecuta(const std::vector<std::string>& orden, const std::vector<std::string>& entorno,
                  const std::filesystem::path& directorio, rlim_t memoria = 0);

#endif  // KEXO_TESTS_PROCESO_H_
