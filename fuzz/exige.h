// The check of a fuzz target's property: a broken one stops the run, so that
// the fuzzer keeps the input.
#ifndef KEXO_FUZZ_EXIGE_H_
#define KEXO_FUZZ_EXIGE_H_

#include <cstdio>
#include <cstdlib>

namespace kexo {

inline void exige(bool condicion, const char* que) {
    if (!condicion) {
        std::fprintf(stderr, "property broken: %s\n", que);
        std::abort();
    }
}

}  // namespace kexo

#endif  // KEXO_FUZZ_EXIGE_H_
