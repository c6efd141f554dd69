#include "compaction/vias.h"

namespace kexo {

namespace {

constexpr via_escaneo kVias[] = {via_escaneo::por_paradas, via_escaneo::bloques_avx2,
                                 via_escaneo::bloques_avx512};

}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)

bool admite(via_escaneo via) {
    switch (via) {
        case via_escaneo::por_paradas:
            return true;
        case via_escaneo::bloques_avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                   __builtin_cpu_supports("popcnt");
        case via_escaneo::bloques_avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi") &&
                   __builtin_cpu_supports("popcnt");
    }
    return false;
}

#else

bool admite(via_escaneo via) {
    return via == via_escaneo::por_paradas;
}

#endif

// AVX-512 with VBMI2 first: its compress into a register is fast on every
// processor that has it (Ice Lake and later, Zen 4 and 5). The AVX2 way uses
// no BMI2, whose pext and pdep are microcoded on Zen 1 and 2, so it is right
// on every processor with AVX2. See compaction/README.md.
via_escaneo via_de_este_procesador() {
    static const via_escaneo via = admite(via_escaneo::bloques_avx512) ? via_escaneo::bloques_avx512
                                   : admite(via_escaneo::bloques_avx2) ? via_escaneo::bloques_avx2
                                                                       : via_escaneo::por_paradas;
    return via;
}

const char* nombre_de(via_escaneo via) {
    switch (via) {
        case via_escaneo::por_paradas:
            return "paradas";
        case via_escaneo::bloques_avx2:
            return "avx2";
        case via_escaneo::bloques_avx512:
            return "avx512";
    }
    return "";
}

bool via_por_nombre(std::string_view nombre, via_escaneo& via) {
    for (const via_escaneo una : kVias) {
        if (nombre == nombre_de(una)) {
            via = una;
            return true;
        }
    }
    return false;
}

}  // namespace kexo
