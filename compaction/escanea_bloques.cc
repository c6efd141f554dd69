#include "compaction/escanea_bloques.h"

#include <cstdint>

#include "compaction/escanea.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KEXO_BLOQUES 1
#endif

// The block scan, a friend of the scan's state.
struct bloques_escaneo {
    static std::size_t escanea(escaner& e, std::string_view trozo, char*& salida);
};

namespace {

// Bits i to 63; none when i is 64.
constexpr std::uint64_t desde(unsigned i) {
    return i >= 64 ? 0 : ~std::uint64_t{0} << i;
}

}  // namespace

#if defined(KEXO_BLOQUES)

#define KEXO_OBJETIVO __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi,popcnt")))

namespace {

// The masks of one block, and what the block leaves out.
struct bloque {
    std::uint64_t cr, lf, simples, dobles, dos_barras, quita;
};

KEXO_OBJETIVO std::uint64_t iguales(__m512i v, char c) {
    return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c));
}

// Follows literals and comments over the block from quote to quote; adds the
// comments' bytes to b.quita. Returns false when a comment runs to its end.
KEXO_OBJETIVO bool sigue_literales(bloque& b, std::uint64_t saltos, unsigned desde_byte,
                                   char& comilla) {
    const std::uint64_t fines_de_comentario = b.cr | b.lf;
    std::uint64_t eventos = (b.simples | b.dobles | saltos | b.dos_barras) & desde(desde_byte);
    while (eventos != 0) {
        const unsigned i = static_cast<unsigned>(__builtin_ctzll(eventos));
        const std::uint64_t bit = std::uint64_t{1} << i;
        if ((saltos & bit) != 0) {
            comilla = '\0';  // a line break ends a literal
        } else if (comilla != '\0') {
            comilla = ((comilla == '\'' ? b.simples : b.dobles) & bit) != 0 ? '\0' : comilla;
        } else if ((b.dos_barras & bit) != 0) {
            const std::uint64_t fines = fines_de_comentario & desde(i);
            if (fines == 0) {
                b.quita |= desde(i);
                return false;
            }
            const unsigned fin = static_cast<unsigned>(__builtin_ctzll(fines));
            b.quita |= desde(i) & ~desde(fin);
            eventos &= desde(fin);
            continue;
        } else {
            comilla = (b.simples & bit) != 0 ? '\'' : '"';
        }
        eventos &= eventos - 1;
    }
    return true;
}

}  // namespace

bool admite_bloques() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt");
}

KEXO_OBJETIVO std::size_t bloques_escaneo::escanea(escaner& e, std::string_view trozo,
                                                   char*& salida) {
    using pendiente = escaner::pendiente;
    const char* p = trozo.data();
    const char* const fin = p + trozo.size();
    const __m512i espacios = _mm512_set1_epi8(' ');
    for (; fin - p > 64; p += 64) {
        const __m512i v = _mm512_loadu_si512(p);
        bloque b{};
        b.cr = iguales(v, '\r');
        b.lf = iguales(v, '\n');
        // A quote right after a backslash neither opens nor closes a literal.
        const std::uint64_t escapadas =
            (iguales(v, '\\') << 1) | static_cast<std::uint64_t>(e.previo_ == '\\');
        b.simples = iguales(v, '\'') & ~escapadas;
        b.dobles = iguales(v, '"') & ~escapadas;
        const std::uint64_t barras = iguales(v, '/');
        b.dos_barras = barras & ((barras >> 1) | (static_cast<std::uint64_t>(p[64] == '/') << 63));
        // The LF of each CR LF, a CR of the previous block included: a space.
        const std::uint64_t saltos =
            b.lf & ((b.cr << 1) | static_cast<std::uint64_t>(e.espera_ == pendiente::cr));
        // The spaces after a line break go, up to the next other byte: adding a
        // bit at the start of a run of spaces clears the run.
        const std::uint64_t espacio = iguales(v, ' ');
        const std::uint64_t inicios =
            (saltos << 1) | static_cast<std::uint64_t>(e.espera_ == pendiente::sangria);
        std::uint64_t suma;
        const bool sigue_sangria =
            __builtin_add_overflow(espacio, inicios, &suma) || (saltos >> 63) != 0;
        b.quita = b.cr | (espacio & ~suma);
        // A comment from the previous block runs to the first CR or LF.
        unsigned desde_byte = 0;
        bool comentario_abierto = e.espera_ == pendiente::comentario;
        if (comentario_abierto) {
            const std::uint64_t fines = b.cr | b.lf;
            desde_byte = fines == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(fines));
            b.quita |= ~desde(desde_byte);
            comentario_abierto = fines == 0;
        }
        char comilla = e.comilla_;
        if (!comentario_abierto) {
            comentario_abierto = !sigue_literales(b, saltos, desde_byte, comilla);
        }
        const std::uint64_t quedan = ~b.quita;
        _mm512_mask_compressstoreu_epi8(salida, quedan,
                                        _mm512_mask_blend_epi8(saltos, v, espacios));
        salida += __builtin_popcountll(quedan);
        e.comilla_ = comilla;
        e.previo_ = p[63];
        e.espera_ = comentario_abierto ? pendiente::comentario
                    : sigue_sangria    ? pendiente::sangria
                    : p[63] == '\r'    ? pendiente::cr
                                       : pendiente::nada;
    }
    return static_cast<std::size_t>(p - trozo.data());
}

#else

bool admite_bloques() {
    return false;
}

std::size_t bloques_escaneo::escanea(escaner&, std::string_view, char*&) {
    return 0;
}

#endif

std::size_t escanea_bloques(escaner& estado, std::string_view trozo, char*& salida) {
    return bloques_escaneo::escanea(estado, trozo, salida);
}

ruta_escaneo ruta_de_este_procesador() {
    static const ruta_escaneo ruta =
        admite_bloques() ? ruta_escaneo::por_bloques : ruta_escaneo::por_paradas;
    return ruta;
}
