// Processes on POSIX systems.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "common/procesos.h"

namespace kexo {

long numero_de_proceso() {
    return static_cast<long>(getpid());
}

bool proceso_vivo(long numero) {
    return numero > 0 && numero <= INT_MAX &&
           (kill(static_cast<pid_t>(numero), 0) == 0 || errno != ESRCH);
}

std::uint64_t descriptores_permitidos() {
    struct rlimit limite;
    if (getrlimit(RLIMIT_NOFILE, &limite) != 0 || limite.rlim_cur == RLIM_INFINITY) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(limite.rlim_cur);
}

}  // namespace kexo
