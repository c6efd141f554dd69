// The way of scanning a run uses: the fastest this processor has, or the one
// that the environment variable KEXO_VIA names, to tell one way's faults or
// speed from another's.
#ifndef KEXO_SALIDA_VIA_H_
#define KEXO_SALIDA_VIA_H_

#include <cstdio>

#include "compaction/vias.h"

namespace kexo {

// Sets `via` to the way KEXO_VIA names ("paradas", "avx2", "avx512"), or,
// when it is unset or empty, to via_de_este_procesador(). Returns false,
// after saying why on `mensajes`, after `prefijo`, when the name is unknown
// or this processor lacks that way.
bool elige_via(via_escaneo& via, std::FILE* mensajes = stdout, const char* prefijo = "");

}  // namespace kexo

#endif  // KEXO_SALIDA_VIA_H_
