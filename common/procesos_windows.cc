// Processes on Windows.
#include <process.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "common/procesos.h"

namespace kexo {

long numero_de_proceso() {
    return static_cast<long>(_getpid());
}

bool proceso_vivo(long numero) {
    const HANDLE proceso =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(numero));
    if (proceso == nullptr) {
        return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    }
    DWORD salida = 0;
    const bool vivo = GetExitCodeProcess(proceso, &salida) == 0 || salida == STILL_ACTIVE;
    CloseHandle(proceso);
    return vivo;
}

std::uint64_t descriptores_permitidos() {
    return static_cast<std::uint64_t>(_getmaxstdio());
}

}  // namespace kexo
