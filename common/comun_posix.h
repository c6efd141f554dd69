// What the POSIX sources share: a file's status told as a nodo, and the
// folder the *at calls take.
#ifndef KEXO_COMMON_COMUN_POSIX_H_
#define KEXO_COMMON_COMUN_POSIX_H_

#include <fcntl.h>
#include <sys/stat.h>

#include "common/atributos.h"

namespace kexo {

// What the status `estado` says a file is.
nodo nodo_de(const struct stat& estado);

// The folder open as `carpeta` for the calls that take one: where -1, the
// current one.
inline int en(int carpeta) {
    return carpeta >= 0 ? carpeta : AT_FDCWD;
}

}  // namespace kexo

#endif  // KEXO_COMMON_COMUN_POSIX_H_
