// The trace level of a program linked with this file.
#include "common/traza.h"

extern const int nivel_traza = 2;
