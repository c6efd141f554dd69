// What the Windows parts of the program share beyond plataforma.h.
#ifndef KEXO_COMMON_PLATAFORMA_WINDOWS_H_
#define KEXO_COMMON_PLATAFORMA_WINDOWS_H_

namespace kexo {

// The error number for Windows' error `codigo` (from GetLastError), as far as
// the callers tell errors apart; EIO for the rest.
int error_de_sistema(unsigned long codigo);

}  // namespace kexo

#endif  // KEXO_COMMON_PLATAFORMA_WINDOWS_H_
