// The source file: opened for its bytes and read in blocks.
#ifndef KEXO_DRIVER_ORIGEN_H_
#define KEXO_DRIVER_ORIGEN_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/archivo.h"
#include "compaction/compacta.h"
#include "driver/destino.h"

namespace kexo {

// Opens the file at `ruta` to read its bytes as stored. Returns null, with
// errno set, when it cannot be opened; a directory cannot (EISDIR).
archivo abre_origen(const char* ruta);

// The source's read block: large enough to make each read cheap, small
// enough to stay in cache (fresh memory costs here as much as reading).
constexpr std::size_t kBloqueLectura = std::size_t{1} << 18;

// Reads up to `n` bytes of `origen` into `donde`; fewer only at its end or
// when a read fails, whose error number then goes to `error`.
std::size_t lee_bloque(std::FILE* origen, char* donde, std::size_t n, int& error);

struct lectura {
    std::int64_t bytes;  // bytes read
    int error;           // 0, or the error number of a failed read
};

class hilo_ficheros;

// Reads `origen`, of `tamano` bytes (-1 when unknown), to its end in blocks,
// giving each to `compactando` and what it makes final to `escritor`. With
// `hilo`, that thread reads the blocks.
lectura lee_compactando(std::FILE* origen, std::int64_t tamano, compactacion& compactando,
                        escritor_destino& escritor, hilo_ficheros* hilo = nullptr);

// Reads all of `origen` into `bytes`, reusing their room. Returns 0, or the
// error number of a failed read.
int lee_entero(std::FILE* origen, std::string& bytes);

}  // namespace kexo

#endif  // KEXO_DRIVER_ORIGEN_H_
