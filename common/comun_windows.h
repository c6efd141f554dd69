// What the Windows sources share: the error numbers told for Windows' errors.
#ifndef KEXO_COMMON_COMUN_WINDOWS_H_
#define KEXO_COMMON_COMUN_WINDOWS_H_

namespace kexo {

// The error number for Windows' error `codigo` (from GetLastError), as far as
// the callers tell errors apart; EIO for the rest.
int error_de_sistema(unsigned long codigo);

}  // namespace kexo

#endif  // KEXO_COMMON_COMUN_WINDOWS_H_
