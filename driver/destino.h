// The destination file: the notice header, then the compacted text.
#ifndef KEXO_DRIVER_DESTINO_H_
#define KEXO_DRIVER_DESTINO_H_

#include <string_view>

#include "compaction/compacta.h"
#include "comun/archivo.h"

// Writes the header for `scopy` (none when it is empty), then the bytes of
// `sresultado` that the emission filter keeps. Returns false if a write failed.
bool escribe_destino(std::FILE* destino, std::string_view scopy, const compactado& sresultado);

// Flushes and closes `destino`. Returns the exit status: 0 when every write,
// the flush and the close succeeded, -1 otherwise.
int cierra_destino(archivo destino, bool escrito);

#endif  // KEXO_DRIVER_DESTINO_H_
