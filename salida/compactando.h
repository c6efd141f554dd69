// A source compacted as it is read, block by block: memory that does not
// grow with the source.
#ifndef KEXO_SALIDA_COMPACTANDO_H_
#define KEXO_SALIDA_COMPACTANDO_H_

#include <cstdint>
#include <cstdio>

#include "compaction/compacta.h"
#include "salida/lectura.h"

namespace kexo {

class hilo_ficheros;

// Reads `origen`, of `tamano` bytes (-1 when unknown), to its end in blocks,
// giving each to `compactando` and what it makes final to `recibe`. With
// `hilo`, that thread reads the blocks. The caller ends the text with
// `compactando.concluye`.
lectura lee_compactando(std::FILE* origen, std::int64_t tamano, compactacion& compactando,
                        const receptor& recibe, hilo_ficheros* hilo);

}  // namespace kexo

#endif  // KEXO_SALIDA_COMPACTANDO_H_
