// The system's error numbers as the tools' messages name them: in Spanish,
// whatever the locale (the programs are static and load none).
#ifndef KEXO_COMMON_ERRORES_H_
#define KEXO_COMMON_ERRORES_H_

#include <string>

namespace kexo {

// The text for the error number `numero`: the Spanish wording of the C
// library's own messages, written without accents as every message of the
// tools is; for a number the table lacks, what `strerror` says.
std::string texto_de_error(int numero);

// `numero` as a message gives it: its text, then the number in brackets,
// as in "Permiso denegado (13)".
std::string describe_error(int numero);

}  // namespace kexo

#endif  // KEXO_COMMON_ERRORES_H_
