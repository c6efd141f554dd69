// The scan 64 bytes at a time: each block is classified into bit masks, the
// bytes to leave out are worked out from them, and the rest is packed and
// stored whole: by a compress into a register, block by block (AVX-512
// VBMI2), or by shuffles from a table 8 bytes at a time, at the end of each
// batch of 32 blocks (AVX2). Literals and comments are followed from quote to
// quote, and only in blocks where a comment starts; elsewhere the quotes after
// the block's last line break tell the literal open at its end.
// compaction/README.md tells what each way needs and what its instructions
// cost on each processor.
#ifndef KEXO_COMPACTION_ESCANEA_BLOQUES_H_
#define KEXO_COMPACTION_ESCANEA_BLOQUES_H_

#include <cstddef>
#include <string_view>

#include "compaction/escanea.h"

namespace kexo {

// Scans the whole 64-byte blocks at the start of `trozo` that leave at least
// one byte after them, along `via`, writing at `salida` and moving it on.
// Returns how many bytes it scanned; the rest is left to the stop-to-stop
// scan, with the state. Stores whole vectors past the bytes kept, yet within
// trozo.size() - 1 bytes from `salida`: no block writes more bytes than it
// reads, and a block is scanned only when a byte follows it.
// REQUIRES: admite(via); the scan does not wait on a `/`.
std::size_t escanea_bloques(estado_escaneo& estado, via_escaneo via, std::string_view trozo,
                            char*& salida);

}  // namespace kexo

#endif  // KEXO_COMPACTION_ESCANEA_BLOQUES_H_
