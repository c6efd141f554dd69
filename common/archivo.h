// An open stdio stream that is closed when it goes out of scope.
#ifndef KEXO_COMMON_ARCHIVO_H_
#define KEXO_COMMON_ARCHIVO_H_

#include <cstdio>
#include <memory>

namespace kexo {

struct cierra_archivo {
    void operator()(std::FILE* archivo) const { std::fclose(archivo); }
};

using archivo = std::unique_ptr<std::FILE, cierra_archivo>;

// Makes `flujo`, when there is one, read or write straight from the caller's
// memory: for whole blocks a stream buffer only adds a copy, splits each
// write in two, and costs fresh memory. Returns `flujo`.
inline std::FILE* sin_buffer(std::FILE* flujo) {
    if (flujo != nullptr) {
        std::setvbuf(flujo, nullptr, _IONBF, 0);
    }
    return flujo;
}

}  // namespace kexo

#endif  // KEXO_COMMON_ARCHIVO_H_
