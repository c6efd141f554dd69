#include "compaction/escanea_bloques.h"

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KEXO_BLOQUES 1
#endif

namespace {

// The masks of one block: bit i for byte i.
struct clasificado {
    std::uint64_t cr, lf, simples, dobles, barras, invertidas, espacios;
};

// What the scan of one block works out.
struct bloque {
    std::uint64_t cr, lf, simples, dobles, dos_barras, quita;
};

// Bits i to 63; none when i is 64.
constexpr std::uint64_t desde(unsigned i) {
    return i >= 64 ? 0 : ~std::uint64_t{0} << i;
}

// Follows literals and comments over the block from quote to quote; adds the
// comments' bytes to b.quita. Returns false when a comment runs to its end.
inline bool sigue_literales(bloque& b, std::uint64_t saltos, unsigned desde_byte, char& comilla) {
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

// The block scan, a friend of the scan's state. `Maquina` classifies a block
// and writes what it keeps; the rest is the same on every processor.
struct bloques_escaneo {
    template <typename Maquina>
    __attribute__((always_inline)) static inline std::size_t escanea(escaner& e,
                                                                     std::string_view trozo,
                                                                     char*& salida) {
        using pendiente = escaner::pendiente;
        const char* p = trozo.data();
        const char* const fin = p + trozo.size();
        for (; fin - p > 64; p += 64) {
            const clasificado c = Maquina::clasifica(p);
            bloque b{c.cr, c.lf, 0, 0, 0, 0};
            // A quote right after a backslash neither opens nor closes a literal.
            const std::uint64_t escapadas =
                (c.invertidas << 1) | static_cast<std::uint64_t>(e.previo_ == '\\');
            b.simples = c.simples & ~escapadas;
            b.dobles = c.dobles & ~escapadas;
            b.dos_barras =
                c.barras & ((c.barras >> 1) | (static_cast<std::uint64_t>(p[64] == '/') << 63));
            // The LF of each CR LF, a CR of the previous block included: a space.
            const std::uint64_t saltos =
                c.lf & ((c.cr << 1) | static_cast<std::uint64_t>(e.espera_ == pendiente::cr));
            // The spaces after a line break go, up to the next other byte: adding
            // a bit at the start of a run of spaces clears the run.
            const std::uint64_t inicios =
                (saltos << 1) | static_cast<std::uint64_t>(e.espera_ == pendiente::sangria);
            std::uint64_t suma;
            const bool sigue_sangria =
                __builtin_add_overflow(c.espacios, inicios, &suma) || (saltos >> 63) != 0;
            b.quita = c.cr | (c.espacios & ~suma);
            // A comment from the previous block runs to the first CR or LF.
            unsigned desde_byte = 0;
            bool comentario_abierto = e.espera_ == pendiente::comentario;
            if (comentario_abierto) {
                const std::uint64_t fines = c.cr | c.lf;
                desde_byte = fines == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(fines));
                b.quita |= ~desde(desde_byte);
                comentario_abierto = fines == 0;
            }
            char comilla = e.comilla_;
            if (!comentario_abierto && b.dos_barras == 0 && saltos != 0) {
                // No comment can start here, so literals change nothing in this
                // block: only the one open at its end matters, and a line break
                // ends any. The quotes before the last break need no walk.
                comilla = '\0';
                desde_byte = 64 - static_cast<unsigned>(__builtin_clzll(saltos));
            }
            if (!comentario_abierto) {
                comentario_abierto = !sigue_literales(b, saltos, desde_byte, comilla);
            }
            Maquina::escribe(salida, p, saltos, ~b.quita);
            e.comilla_ = comilla;
            e.previo_ = p[63];
            e.espera_ = comentario_abierto ? pendiente::comentario
                        : sigue_sangria    ? pendiente::sangria
                        : p[63] == '\r'    ? pendiente::cr
                                           : pendiente::nada;
        }
        return static_cast<std::size_t>(p - trozo.data());
    }

    static std::size_t con_avx2(escaner& e, std::string_view trozo, char*& salida);
    static std::size_t con_avx512(escaner& e, std::string_view trozo, char*& salida);
};

#if defined(KEXO_BLOQUES)

#define KEXO_AVX2 __attribute__((target("avx2,bmi,popcnt")))
#define KEXO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi,popcnt")))

namespace {

// For each mask of 8 bits, the places of its set bits, from the lowest, one
// a byte: the shuffle that packs the bytes a mask keeps.
struct tabla_compresion {
    std::uint64_t de[256];
};

constexpr tabla_compresion compresiones() {
    tabla_compresion t{};
    for (unsigned mascara = 0; mascara < 256; ++mascara) {
        unsigned k = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((mascara >> bit) & 1) {
                t.de[mascara] |= std::uint64_t{bit} << (8 * k++);
            }
        }
    }
    return t;
}

constexpr tabla_compresion kCompresion = compresiones();

struct maquina_avx2 {
    KEXO_AVX2 static std::uint64_t iguales(__m256i a, __m256i b, char c) {
        const __m256i byte = _mm256_set1_epi8(c);
        const auto bajo = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, byte)));
        const auto alto = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, byte)));
        return std::uint64_t{bajo} | (std::uint64_t{alto} << 32);
    }

    KEXO_AVX2 static clasificado clasifica(const char* p) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        return {iguales(a, b, '\r'), iguales(a, b, '\n'), iguales(a, b, '\''), iguales(a, b, '"'),
                iguales(a, b, '/'),  iguales(a, b, '\\'), iguales(a, b, ' ')};
    }

    // Each 16 bytes: the LFs of CR LF made spaces, then the bytes kept in each
    // half packed to its front by a shuffle from kCompresion, and stored whole;
    // the next store starts past the kept ones.
    KEXO_AVX2 static void escribe(char*& salida, const char* p, std::uint64_t saltos,
                                  std::uint64_t quedan) {
        const __m128i bits =
            _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
        const __m128i mitades = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
        for (unsigned i = 0; i < 64; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const auto salto16 = static_cast<int>((saltos >> i) & 0xffff);
            const __m128i en_bytes = _mm_shuffle_epi8(_mm_cvtsi32_si128(salto16), mitades);
            const __m128i es_salto = _mm_cmpeq_epi8(_mm_and_si128(en_bytes, bits), bits);
            v = _mm_blendv_epi8(v, _mm_set1_epi8(' '), es_salto);
            const auto bajo = static_cast<unsigned>((quedan >> i) & 0xff);
            const auto alto = static_cast<unsigned>((quedan >> (i + 8)) & 0xff);
            const __m128i orden =
                _mm_set_epi64x(static_cast<long long>(kCompresion.de[alto] + 0x0808080808080808ull),
                               static_cast<long long>(kCompresion.de[bajo]));
            const __m128i juntos = _mm_shuffle_epi8(v, orden);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(salida), juntos);
            salida += __builtin_popcount(bajo);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(salida),
                             _mm_unpackhi_epi64(juntos, juntos));
            salida += __builtin_popcount(alto);
        }
    }
};

struct maquina_avx512 {
    KEXO_AVX512 static clasificado clasifica(const char* p) {
        const __m512i v = _mm512_loadu_si512(p);
        const auto iguales = [v](char c) KEXO_AVX512 {
            return static_cast<std::uint64_t>(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)));
        };
        return {iguales('\r'), iguales('\n'), iguales('\''), iguales('"'),
                iguales('/'),  iguales('\\'), iguales(' ')};
    }

    KEXO_AVX512 static void escribe(char*& salida, const char* p, std::uint64_t saltos,
                                    std::uint64_t quedan) {
        const __m512i v =
            _mm512_mask_blend_epi8(saltos, _mm512_loadu_si512(p), _mm512_set1_epi8(' '));
        _mm512_mask_compressstoreu_epi8(salida, quedan, v);
        salida += __builtin_popcountll(quedan);
    }
};

}  // namespace

KEXO_AVX2 std::size_t bloques_escaneo::con_avx2(escaner& e, std::string_view trozo, char*& salida) {
    return escanea<maquina_avx2>(e, trozo, salida);
}

KEXO_AVX512 std::size_t bloques_escaneo::con_avx512(escaner& e, std::string_view trozo,
                                                    char*& salida) {
    return escanea<maquina_avx512>(e, trozo, salida);
}

bool admite(ruta_escaneo ruta) {
    switch (ruta) {
        case ruta_escaneo::por_paradas:
            return true;
        case ruta_escaneo::bloques_avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case ruta_escaneo::bloques_avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt");
    }
    return false;
}

#else

std::size_t bloques_escaneo::con_avx2(escaner&, std::string_view, char*&) {
    return 0;
}

std::size_t bloques_escaneo::con_avx512(escaner&, std::string_view, char*&) {
    return 0;
}

bool admite(ruta_escaneo ruta) {
    return ruta == ruta_escaneo::por_paradas;
}

#endif

std::size_t escanea_bloques(escaner& estado, ruta_escaneo ruta, std::string_view trozo,
                            char*& salida) {
    return ruta == ruta_escaneo::bloques_avx512 ? bloques_escaneo::con_avx512(estado, trozo, salida)
                                                : bloques_escaneo::con_avx2(estado, trozo, salida);
}

ruta_escaneo ruta_de_este_procesador() {
    static const ruta_escaneo ruta =
        admite(ruta_escaneo::bloques_avx512) ? ruta_escaneo::bloques_avx512
        : admite(ruta_escaneo::bloques_avx2) ? ruta_escaneo::bloques_avx2
                                             : ruta_escaneo::por_paradas;
    return ruta;
}
