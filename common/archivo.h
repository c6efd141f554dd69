// An open stdio stream that is closed when it goes out of scope.
#ifndef KEXO_COMMON_ARCHIVO_H_
#define KEXO_COMMON_ARCHIVO_H_

#include <cstdio>
#include <memory>

struct cierra_archivo {
    void operator()(std::FILE* archivo) const { std::fclose(archivo); }
};

using archivo = std::unique_ptr<std::FILE, cierra_archivo>;

#endif  // KEXO_COMMON_ARCHIVO_H_
