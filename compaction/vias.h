// The ways the scan can go over a source, and which of them this processor
// runs. All write the same bytes; compaction/README.md tells what each needs
// and what its instructions cost on each processor.
#ifndef KEXO_COMPACTION_VIAS_H_
#define KEXO_COMPACTION_VIAS_H_

#include <string_view>

namespace kexo {

enum class via_escaneo : unsigned char {
    por_paradas,     // from stop to stop, 16 bytes at a time (SSE2), on any processor
    bloques_avx2,    // 64 bytes at a time with no branch per stop: AVX2
    bloques_avx512,  // the same with AVX-512 VBMI2
};

// True when this processor runs `via`.
bool admite(via_escaneo via);

// The fastest way this processor runs.
via_escaneo via_de_este_procesador();

// The way named `nombre` ("paradas", "avx2" or "avx512"), set in `via`.
// False, with `via` as it was, for any other name.
bool via_por_nombre(std::string_view nombre, via_escaneo& via);

// The name of `via`, as via_por_nombre reads it.
const char* nombre_de(via_escaneo via);

}  // namespace kexo

#endif  // KEXO_COMPACTION_VIAS_H_
