// The source file: opened for its bytes and read whole.
#ifndef KEXO_DRIVER_ORIGEN_H_
#define KEXO_DRIVER_ORIGEN_H_

#include <string>

#include "comun/archivo.h"

// Opens the file at `ruta` to read its bytes as stored. Returns null, with
// errno set, when it cannot be opened; a directory cannot (EISDIR).
archivo abre_origen(const char* ruta);

// Reads the rest of `origen` into `sfuente`. Returns 0, or the error number of
// a failed read.
int lee_todo(std::FILE* origen, std::string& sfuente);

#endif  // KEXO_DRIVER_ORIGEN_H_
