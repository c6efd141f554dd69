// Reading a source: opened for its bytes, read in blocks or whole.
#ifndef KEXO_SALIDA_LECTURA_H_
#define KEXO_SALIDA_LECTURA_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/archivo.h"
#include "common/ficheros.h"

namespace kexo {

// Opens the file at `ruta` to read its bytes as stored. Returns null, with
// errno set, when it cannot be opened; a directory cannot (EISDIR).
archivo abre_origen(const char* ruta);

// The source's read block: large enough to make each read cheap, small
// enough to stay in cache (fresh memory costs here as much as reading).
constexpr std::size_t kBloqueLectura = std::size_t{1} << 18;

// The block for a source of `tamano` bytes (-1 when unknown): no larger than
// the file needs (one byte past its size, so that a single read meets its
// end), since fresh memory is costly next to the work on a small file.
std::size_t bloque_para(std::int64_t tamano);

// Reads up to `n` bytes of `origen` into `donde`; fewer only at its end or
// when a read fails, whose error number then goes to `error`.
std::size_t lee_bloque(std::FILE* origen, char* donde, std::size_t n, int& error);

// How much of a source's start is read to place the notice: enough for a
// `#!` line and the comments before a first declare.
constexpr std::size_t kInicioParaElAviso = std::size_t{64} << 10;

// Reads the first bytes of `origen` that tell where the notice `scopy` may
// stand into `inicio`: up to kInicioParaElAviso, none without a notice.
// Returns 0, or the error number of a failed read.
int lee_inicio_para_aviso(std::FILE* origen, std::string_view scopy, std::string& inicio);

// What a whole read of a source came to.
struct lectura {
    std::int64_t bytes;  // bytes read
    int error;           // 0, or the error number of a failed read
};

// Reads all of `origen` into `bytes`, reusing their room. Returns 0, or the
// error number of a failed read; EFBIG, with only part read, when the source
// holds more than `maximo` bytes. `tamano`, when not negative, is the size
// the source was just seen with, which saves asking for it again: a source
// that has grown since is still read whole. `despues`, when given, gets what
// the source is once read, as told after the last read: its end is then
// proven by its size as much as by a read that meets nothing, which saves
// that read.
int lee_entero(std::FILE* origen, std::string& bytes, std::size_t maximo = SIZE_MAX,
               std::int64_t tamano = -1, atributos_origen* despues = nullptr);

}  // namespace kexo

#endif  // KEXO_SALIDA_LECTURA_H_
