// This process and others: their numbers, whether one still runs, and how
// many files this one may hold open.
#ifndef KEXO_COMMON_PROCESOS_H_
#define KEXO_COMMON_PROCESOS_H_

#include <cstdint>

namespace kexo {

// This process's number.
long numero_de_proceso();

// True unless the process numbered `numero` is known not to exist.
bool proceso_vivo(long numero);

// How many descriptors this process may have open at once.
std::uint64_t descriptores_permitidos();

}  // namespace kexo

#endif  // KEXO_COMMON_PROCESOS_H_
