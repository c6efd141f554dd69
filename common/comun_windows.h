// What the Windows sources share: the error numbers told for Windows' errors,
// and what identifies a file however it is named.
#ifndef KEXO_COMMON_COMUN_WINDOWS_H_
#define KEXO_COMMON_COMUN_WINDOWS_H_

#include <windows.h>

namespace kexo {

// The error number for Windows' error `codigo` (from GetLastError), as far as
// the callers tell errors apart; EIO for the rest.
int error_de_sistema(unsigned long codigo);

// The volume and index that identify a file, however it is named.
struct identidad {
    DWORD volumen;
    DWORD indice_alto;
    DWORD indice_bajo;
};

// The identity of the file open as `manejador`: false where it cannot be told.
inline bool identidad_de(HANDLE manejador, identidad& id) {
    BY_HANDLE_FILE_INFORMATION datos;
    if (manejador == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(manejador, &datos)) {
        return false;
    }
    id = {datos.dwVolumeSerialNumber, datos.nFileIndexHigh, datos.nFileIndexLow};
    return true;
}

}  // namespace kexo

#endif  // KEXO_COMMON_COMUN_WINDOWS_H_
