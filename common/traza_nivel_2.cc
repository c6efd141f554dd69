// The trace level of a program linked with this file.
#include "common/traza.h"

namespace kexo {

extern const int nivel_traza = 2;

}  // namespace kexo
