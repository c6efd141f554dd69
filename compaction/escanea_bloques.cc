#include "compaction/escanea_bloques.h"

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KEXO_BLOQUES 1
#endif

namespace kexo {

namespace {

// The masks of one block: bit i for byte i. A quote right after a backslash
// neither opens nor closes a literal, and is left out; a `/` counts when
// another follows it.
struct clasificado {
    std::uint64_t cr, lf, simples, dobles, dos_barras, espacios;
};

// The masks of the quotes that count, and of the `/` that another follows,
// from the masks of every quote, `/` and backslash in the block at p, the byte
// before it being `previo`. REQUIRES: p[64] can be read.
inline void cuenta_comillas_y_barras(clasificado& c, std::uint64_t barras, std::uint64_t invertidas,
                                     const char* p, char previo) {
    const std::uint64_t escapadas = (invertidas << 1) | static_cast<std::uint64_t>(previo == '\\');
    c.simples &= ~escapadas;
    c.dobles &= ~escapadas;
    c.dos_barras = barras & ((barras >> 1) | (static_cast<std::uint64_t>(p[64] == '/') << 63));
}

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

// The literal open after `comillas`, quotes of the one kind `clase`, when
// `comilla` was open before them: each quote of that kind opens or closes it,
// unless a literal of the other kind is open.
inline char tras_una_clase(char comilla, std::uint64_t comillas, char clase) {
    const bool impar = __builtin_parityll(comillas) != 0;
    if (comilla == '\0') {
        return impar ? clase : '\0';
    }
    if (comilla == clase) {
        return impar ? '\0' : clase;
    }
    return comilla;
}

// The literal open at the end of a block where no comment starts, from byte
// `desde_byte` on, with `comilla` open before it. Literals then change nothing
// in the block, and a line break ends any: only the quotes after its last
// break count, and those of one kind need no walk.
inline char literal_al_final(bloque& b, std::uint64_t saltos, unsigned desde_byte, char comilla) {
    if (saltos != 0) {
        const unsigned tras_saltos = 64 - static_cast<unsigned>(__builtin_clzll(saltos));
        desde_byte = tras_saltos > desde_byte ? tras_saltos : desde_byte;
        comilla = '\0';
    }
    const std::uint64_t simples = b.simples & desde(desde_byte);
    const std::uint64_t dobles = b.dobles & desde(desde_byte);
    if (simples != 0 && dobles != 0) {
        sigue_literales(b, saltos, desde_byte, comilla);
        return comilla;
    }
    return tras_una_clase(comilla, simples | dobles, simples != 0 ? '\'' : '"');
}

// The same as literal_al_final with no branch but for quotes of both kinds
// after the last line break, which are rare (0.6 % of the blocks of real
// PHP): a third of the blocks have no line break, as good as at random, and
// which quotes follow the last one varies as much. The AVX2 way, with more
// work in each block, loses more to a mispredicted branch than it gains from
// the work a branch skips; the AVX-512 way measured the other way round.
inline char literal_al_final_sin_bifurcar(bloque& b, std::uint64_t saltos, unsigned desde_byte,
                                          char comilla) {
    const std::uint64_t hay_saltos = 0 - static_cast<std::uint64_t>(saltos != 0);
    const auto ultimo = static_cast<unsigned>(63 - __builtin_clzll(saltos | 1));
    const std::uint64_t tras_saltos =
        (((~std::uint64_t{0} << ultimo) << 1) & hay_saltos) | ~hay_saltos;
    const std::uint64_t cuentan = tras_saltos & (~std::uint64_t{0} << desde_byte);
    comilla = static_cast<char>(comilla & ~static_cast<char>(hay_saltos));
    const std::uint64_t simples = b.simples & cuentan;
    const std::uint64_t dobles = b.dobles & cuentan;
    // One branch on both kinds at once. clang made two of it, and the first,
    // on one kind alone, mispredicted as often as the quotes vary; a value it
    // cannot see into keeps the branch whole. g++ makes one branch by itself.
    bool ambas = (simples != 0) & (dobles != 0);
#if defined(__clang__)
    asm("" : "+r"(ambas));
#endif
    if (__builtin_expect(ambas, 0)) {
        sigue_literales(b, saltos, static_cast<unsigned>(64 - __builtin_popcountll(cuentan)),
                        comilla);
        return comilla;
    }
    const char clase = simples != 0 ? '\'' : '"';
    const bool impar = __builtin_parityll(simples | dobles) != 0;
    const bool cambia = impar & ((comilla == '\0') | (comilla == clase));
    return static_cast<char>(comilla ^ (clase & -static_cast<char>(cambia)));
}

// The block scan along `Maquina`, made from `datos`, which classifies a block
// and writes what it keeps, or holds it until `vacia` (see maquina_avx2); the
// rest is the same on every processor.
template <typename Maquina, typename... Datos>
__attribute__((always_inline)) inline std::size_t escanea_con(estado_escaneo& e,
                                                              std::string_view trozo, char*& salida,
                                                              Datos&... datos) {
    const char* p = trozo.data();
    const char* const fin = p + trozo.size();
    // The state and the output cursor live in locals while the loop runs:
    // the stores through `out` could otherwise alias them.
    char* out = salida;
    char comilla = e.comilla;
    char previo = e.previo;
    // What the previous block left undecided, as bits 0 or 1: no branch
    // hangs on them, since a block ends after a CR or in indentation as good
    // as at random.
    std::uint64_t tras_cr = e.pendiente == pendiente_escaneo::cr;
    std::uint64_t en_sangria = e.pendiente == pendiente_escaneo::sangria;
    bool comentario_abierto = e.pendiente == pendiente_escaneo::comentario;
    Maquina maquina(datos...);
    for (; fin - p > 64; p += 64) {
        const clasificado c = maquina.clasifica(p, trozo.data(), previo);
        bloque b{c.cr, c.lf, c.simples, c.dobles, c.dos_barras, 0};
        // The LF of each CR LF, a CR of the previous block included: a space.
        const std::uint64_t saltos = c.lf & ((c.cr << 1) | tras_cr);
        // The spaces after a line break go, up to the next other byte: adding
        // a bit at the start of a run of spaces clears the run.
        const std::uint64_t inicios = (saltos << 1) | en_sangria;
        std::uint64_t suma;
        const std::uint64_t sigue_sangria =
            static_cast<std::uint64_t>(__builtin_add_overflow(c.espacios, inicios, &suma)) |
            (saltos >> 63);
        b.quita = c.cr | (c.espacios & ~suma);
        // A comment from the previous block runs to the first CR or LF.
        unsigned desde_byte = 0;
        if (comentario_abierto) {
            const std::uint64_t fines = c.cr | c.lf;
            desde_byte = fines == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(fines));
            b.quita |= ~desde(desde_byte);
            comentario_abierto = fines == 0;
        }
        if (comentario_abierto) {
            // The whole block is comment.
        } else if (b.dos_barras != 0) {
            comentario_abierto = !sigue_literales(b, saltos, desde_byte, comilla);
        } else {
            comilla = Maquina::kSinBifurcar
                          ? literal_al_final_sin_bifurcar(b, saltos, desde_byte, comilla)
                          : literal_al_final(b, saltos, desde_byte, comilla);
        }
        maquina.escribe(out, p, saltos, ~b.quita);
        previo = p[63];
        const std::uint64_t sigue = static_cast<std::uint64_t>(!comentario_abierto);
        en_sangria = sigue & sigue_sangria;
        tras_cr = sigue & (sigue_sangria ^ 1) & static_cast<std::uint64_t>(previo == '\r');
    }
    maquina.vacia(out);
    salida = out;
    e.comilla = comilla;
    e.previo = previo;
    e.pendiente = comentario_abierto ? pendiente_escaneo::comentario
                  : en_sangria != 0  ? pendiente_escaneo::sangria
                  : tras_cr != 0     ? pendiente_escaneo::cr
                                     : pendiente_escaneo::nada;
    return static_cast<std::size_t>(p - trozo.data());
}

}  // namespace

#if defined(KEXO_BLOQUES)

#define KEXO_AVX2 __attribute__((target("avx2,bmi,popcnt")))
#define KEXO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi,popcnt")))

namespace {

// For each mask of 8 bits, the places of its set bits, from the lowest, one
// a byte: the shuffle that packs the bytes a mask keeps, in the first 8 of an
// aligned 16 that a shuffle reads whole. `alto` is the same for the second 8
// bytes of 16.
struct alignas(16) indices_compresion {
    std::uint64_t orden;
    std::uint64_t nada;
};

struct tabla_compresion {
    indices_compresion bajo[256];
    indices_compresion alto[256];
};

constexpr tabla_compresion compresiones() {
    tabla_compresion t{};
    for (unsigned mascara = 0; mascara < 256; ++mascara) {
        unsigned k = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((mascara >> bit) & 1) {
                t.bajo[mascara].orden |= std::uint64_t{bit} << (8 * k);
                t.alto[mascara].orden |= std::uint64_t{bit + 8} << (8 * k++);
            }
        }
    }
    return t;
}

constexpr tabla_compresion kCompresion = compresiones();

// A byte in all 32 places of a vector.
struct alignas(32) repetido {
    unsigned char b[32];
};

constexpr repetido repite(char c) {
    repetido r{};
    for (unsigned char& x : r.b) {
        x = static_cast<unsigned char>(c);
    }
    return r;
}

// The bytes the AVX2 way compares with, and what turns an LF into a space.
struct bytes_avx2 {
    repetido cr, lf, simple, doble, barra, espacio, invertida, lf_a_espacio;
};

constexpr bytes_avx2 kBytesAvx2{repite('\r'), repite('\n'), repite('\''), repite('"'),
                                repite('/'),  repite(' '),  repite('\\'), repite('\n' ^ ' ')};

struct maquina_avx2 {
    static constexpr bool kSinBifurcar = true;  // see literal_al_final_sin_bifurcar
    // The compares read their constants from memory: there are more than
    // the 16 vector registers hold beside the block, and the compiler would
    // otherwise build each again in each block from a general register, three
    // instructions apiece.
    const bytes_avx2* k;
    __m256i a, b;  // the block's two halves, the LFs of CR LF made spaces

    // A batch's blocks and the masks of the bytes they keep, written at the
    // batch's end: the loop that classifies keeps its vectors and masks in
    // registers, and the loop that packs reads each mask a byte at a time
    // from memory written long before, with no shifts to take it apart.
    static constexpr std::size_t kTanda = 32;
    struct lote {
        alignas(32) unsigned char bloques[kTanda][64];
        alignas(8) unsigned char quedan[kTanda][8];
    };
    // Where the batch lives. Within the machine, a store to it could change
    // the machine's other values for all clang knows, and clang kept them in
    // memory, reading them again in each block (3 % slower); outside it, g++
    // kept the batch's address in memory instead (2 to 3 % slower). So each
    // compiler has the batch where it does best.
#if defined(__clang__)
    lote& tanda_;
    KEXO_AVX2 explicit maquina_avx2(lote& tanda) : k(&kBytesAvx2), tanda_(tanda) {
        asm("" : "+r"(k));  // the contents are not known: read, not built
    }
#else
    lote tanda_;
    KEXO_AVX2 maquina_avx2() : k(&kBytesAvx2) {
        asm("" : "+r"(k));  // the contents are not known: read, not built
    }
#endif
    std::size_t en_tanda_ = 0;

    KEXO_AVX2 static __m256i carga(const void* p) {
        return _mm256_loadu_si256(static_cast<const __m256i*>(p));
    }

    KEXO_AVX2 static __m256i igual(__m256i v, const repetido& r) {
        return _mm256_cmpeq_epi8(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(r.b)));
    }

    // The mask of 64 bits of two vectors of compares, the low one first.
    KEXO_AVX2 static std::uint64_t mascara(__m256i bajo, __m256i alto) {
        const auto m_bajo = static_cast<unsigned>(_mm256_movemask_epi8(bajo));
        const auto m_alto = static_cast<unsigned>(_mm256_movemask_epi8(alto));
        return std::uint64_t{m_bajo} | (std::uint64_t{m_alto} << 32);
    }

    // Quotes after a backslash, `/` before another and the LFs after a CR are
    // told by comparing the bytes one place before and after, read again from
    // memory: fewer masks to move to general registers, which costs most here.
    // The first block of a piece takes the byte before it from `previo`. An
    // LF after a CR is the LF of a CR LF: a CR before a block always leaves
    // the scan waiting on it.
    KEXO_AVX2 clasificado clasifica(const char* p, const char* inicio, char previo) {
        a = carga(p);
        b = carga(p + 32);
        const __m256i a_antes =
            p != inicio ? carga(p - 1)
                        : _mm256_alignr_epi8(
                              a, _mm256_permute2x128_si256(_mm256_set1_epi8(previo), a, 0x21), 15);
        const __m256i b_antes = carga(p + 31);
        const __m256i a_escapa = igual(a_antes, k->invertida);
        const __m256i b_escapa = igual(b_antes, k->invertida);
        const __m256i a_lf = igual(a, k->lf);
        const __m256i b_lf = igual(b, k->lf);
        clasificado c;
        c.cr = mascara(igual(a, k->cr), igual(b, k->cr));
        c.lf = mascara(a_lf, b_lf);
        c.simples = mascara(_mm256_andnot_si256(a_escapa, igual(a, k->simple)),
                            _mm256_andnot_si256(b_escapa, igual(b, k->simple)));
        c.dobles = mascara(_mm256_andnot_si256(a_escapa, igual(a, k->doble)),
                           _mm256_andnot_si256(b_escapa, igual(b, k->doble)));
        c.dos_barras =
            mascara(_mm256_and_si256(igual(a, k->barra), igual(carga(p + 1), k->barra)),
                    _mm256_and_si256(igual(b, k->barra), igual(carga(p + 33), k->barra)));
        c.espacios = mascara(igual(a, k->espacio), igual(b, k->espacio));
        const __m256i a_salto = _mm256_and_si256(a_lf, igual(a_antes, k->cr));
        const __m256i b_salto = _mm256_and_si256(b_lf, igual(b_antes, k->cr));
        const __m256i a_espacio =
            _mm256_load_si256(reinterpret_cast<const __m256i*>(k->lf_a_espacio.b));
        a = _mm256_xor_si256(a, _mm256_and_si256(a_salto, a_espacio));
        b = _mm256_xor_si256(b, _mm256_and_si256(b_salto, a_espacio));
        return c;
    }

    // Packs the bytes of v that `quedan` keeps, by a shuffle from kCompresion
    // for each half, and stores them; the next store starts past them.
    KEXO_AVX2 static void comprime(char*& salida, __m128i v, unsigned bajo, unsigned alto) {
        const __m128i juntos_bajo = _mm_shuffle_epi8(
            v, _mm_load_si128(reinterpret_cast<const __m128i*>(&kCompresion.bajo[bajo])));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(salida), juntos_bajo);
        salida += __builtin_popcount(bajo);
        const __m128i juntos_alto = _mm_shuffle_epi8(
            v, _mm_load_si128(reinterpret_cast<const __m128i*>(&kCompresion.alto[alto])));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(salida), juntos_alto);
        salida += __builtin_popcount(alto);
    }

    KEXO_AVX2 void escribe(char*& salida, const char*, std::uint64_t, std::uint64_t quedan) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(tanda_.bloques[en_tanda_]), a);
        _mm256_store_si256(reinterpret_cast<__m256i*>(tanda_.bloques[en_tanda_] + 32), b);
        __builtin_memcpy(tanda_.quedan[en_tanda_], &quedan, 8);
        if (++en_tanda_ == kTanda) {
            vacia(salida);
        }
    }

    // Packs and stores the blocks held, in order.
    KEXO_AVX2 void vacia(char*& salida) {
        char* out = salida;
        for (std::size_t i = 0; i < en_tanda_; ++i) {
            const unsigned char* m = tanda_.quedan[i];
            for (unsigned j = 0; j < 4; ++j) {
                const __m128i v =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(tanda_.bloques[i] + 16 * j));
                comprime(out, v, m[2 * j], m[2 * j + 1]);
            }
        }
        en_tanda_ = 0;
        salida = out;
    }
};

struct maquina_avx512 {
    static constexpr bool kSinBifurcar = false;  // see literal_al_final_sin_bifurcar
    void vacia(char*&) {}                        // each block is written at once
    KEXO_AVX512 clasificado clasifica(const char* p, const char*, char previo) {
        const __m512i v = _mm512_loadu_si512(p);
        const auto iguales = [v](char c) KEXO_AVX512 {
            return static_cast<std::uint64_t>(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)));
        };
        clasificado c{iguales('\r'), iguales('\n'), iguales('\''), iguales('"'), 0, iguales(' ')};
        cuenta_comillas_y_barras(c, iguales('/'), iguales('\\'), p, previo);
        return c;
    }

    // The LFs of CR LF made spaces, the kept bytes packed in a register and
    // the whole register stored: the bytes past the kept ones are overwritten
    // by the next block's store or left in the room the caller gives (see
    // escanea_bloques). Compressing straight to memory is microcoded on Zen 4.
    // The compress merges into its own source: its zero-masked form waits on
    // the previous value of its destination on Zen 4 and 5.
    KEXO_AVX512 void escribe(char*& salida, const char* p, std::uint64_t saltos,
                             std::uint64_t quedan) {
        const __m512i v =
            _mm512_mask_blend_epi8(saltos, _mm512_loadu_si512(p), _mm512_set1_epi8(' '));
        _mm512_storeu_si512(salida, _mm512_mask_compress_epi8(v, quedan, v));
        salida += __builtin_popcountll(quedan);
    }
};

KEXO_AVX2 std::size_t escanea_con_avx2(estado_escaneo& e, std::string_view trozo, char*& salida) {
#if defined(__clang__)
    maquina_avx2::lote tanda;
    return escanea_con<maquina_avx2>(e, trozo, salida, tanda);
#else
    return escanea_con<maquina_avx2>(e, trozo, salida);
#endif
}

KEXO_AVX512 std::size_t escanea_con_avx512(estado_escaneo& e, std::string_view trozo,
                                           char*& salida) {
    return escanea_con<maquina_avx512>(e, trozo, salida);
}

}  // namespace

std::size_t escanea_bloques(estado_escaneo& estado, via_escaneo via, std::string_view trozo,
                            char*& salida) {
    return via == via_escaneo::bloques_avx512 ? escanea_con_avx512(estado, trozo, salida)
                                              : escanea_con_avx2(estado, trozo, salida);
}

#else

std::size_t escanea_bloques(estado_escaneo&, via_escaneo, std::string_view, char*&) {
    return 0;
}

#endif

}  // namespace kexo
