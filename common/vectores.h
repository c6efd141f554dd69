// Looks over bytes sixteen at a time where the processor has SSE2 (every
// x86-64), byte by byte elsewhere (32-bit x86 without it, other processors)
// and for the last bytes of a buffer: both ways give the same answer. The
// scanners of compaction/ and lexical/ skip runs of bytes through these.
#ifndef KEXO_COMMON_VECTORES_H_
#define KEXO_COMMON_VECTORES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kexo {

#if defined(__SSE2__)
inline constexpr bool kHayVectores = true;

[[gnu::always_inline]] inline __m128i carga_16(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// 0xff at each byte of v that is c.
[[gnu::always_inline]] inline __m128i iguales_16(__m128i v, char c) {
    return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
}

// One bit a byte, the first byte the lowest: its top bit.
[[gnu::always_inline]] inline unsigned bits_16(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(v));
}
#else
inline constexpr bool kHayVectores = false;
#endif

// Classes of bytes: `contiene(c)` for one byte and, with SSE2, `marca(v)`
// for sixteen, 0xff at those in the class.

// The bytes listed.
template <char... Bytes>
struct bytes_de {
    static constexpr bool contiene(char c) { return ((c == Bytes) || ...); }
#if defined(__SSE2__)
    [[gnu::always_inline]] static __m128i marca(__m128i v) {
        __m128i m = _mm_setzero_si128();
        ((m = _mm_or_si128(m, iguales_16(v, Bytes))), ...);
        return m;
    }
#endif
};

// The bytes from Desde to Hasta, both ASCII.
template <char Desde, char Hasta>
struct rango_de {
    static_assert(Desde > 0 && Desde <= Hasta && Hasta < 127);
    static constexpr bool contiene(char c) { return c >= Desde && c <= Hasta; }
#if defined(__SSE2__)
    // Signed compares: bytes from 0x80 are negative, below Desde.
    [[gnu::always_inline]] static __m128i marca(__m128i v) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(Desde - 1)),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(Hasta + 1)));
    }
#endif
};

// The ASCII letters, either case: bit 5 set maps the upper case onto the
// lower, and only those two bytes map onto a lower case letter.
struct letras_ascii {
    static constexpr bool contiene(char c) {
        const char minuscula = static_cast<char>(c | 0x20);
        return minuscula >= 'a' && minuscula <= 'z';
    }
#if defined(__SSE2__)
    [[gnu::always_inline]] static __m128i marca(__m128i v) {
        return rango_de<'a', 'z'>::marca(_mm_or_si128(v, _mm_set1_epi8(0x20)));
    }
#endif
};

// The bytes from 0x80 on.
struct bytes_altos {
    static constexpr bool contiene(char c) { return static_cast<unsigned char>(c) >= 0x80; }
#if defined(__SSE2__)
    [[gnu::always_inline]] static __m128i marca(__m128i v) {
        return _mm_cmplt_epi8(v, _mm_setzero_si128());
    }
#endif
};

// The bytes of any of Clases.
template <typename... Clases>
struct alguna_de {
    static constexpr bool contiene(char c) { return (Clases::contiene(c) || ...); }
#if defined(__SSE2__)
    [[gnu::always_inline]] static __m128i marca(__m128i v) {
        __m128i m = _mm_setzero_si128();
        ((m = _mm_or_si128(m, Clases::marca(v))), ...);
        return m;
    }
#endif
};

// The loop over a run: the first i from i on where s[i] is in Clase (Dentro)
// or out of it (!Dentro). Past the end, a search (Dentro) gives s.size() and
// a skip (!Dentro) gives i itself.
template <typename Clase, bool Dentro>
[[gnu::always_inline]] inline std::size_t recorre(std::string_view s, std::size_t i) {
#if defined(__SSE2__)
    const char* const p = s.data();
    for (; s.size() - i >= 16 && i < s.size(); i += 16) {
        unsigned m = bits_16(Clase::marca(carga_16(p + i)));
        if constexpr (!Dentro) {
            m ^= 0xffffU;
        }
        if (m != 0) {
            return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
    }
#endif
    if constexpr (Dentro) {
        for (; i < s.size(); ++i) {
            if (Clase::contiene(s[i])) {
                return i;
            }
        }
        return s.size();
    } else {
        while (i < s.size() && Clase::contiene(s[i])) {
            ++i;
        }
        return i;
    }
}

// The first i from i on where s[i] is in Clase, or s.size().
template <typename Clase>
[[gnu::always_inline]] inline std::size_t busca_clase(std::string_view s, std::size_t i) {
    return recorre<Clase, true>(s, i);
}

// Past the bytes of Clase at s[i]; i itself when it is past the end.
template <typename Clase>
[[gnu::always_inline]] inline std::size_t salta_clase(std::string_view s, std::size_t i) {
    return recorre<Clase, false>(s, i);
}

// The same over [p, fin): the first byte there in Clase, or fin.
template <typename Clase>
[[gnu::always_inline]] inline const char* busca_clase(const char* p, const char* fin) {
    return p + recorre<Clase, true>(std::string_view(p, static_cast<std::size_t>(fin - p)), 0);
}

// Past the bytes of Clase at p, up to fin.
template <typename Clase>
[[gnu::always_inline]] inline const char* salta_clase(const char* p, const char* fin) {
    return p + recorre<Clase, false>(std::string_view(p, static_cast<std::size_t>(fin - p)), 0);
}

// busca_clase over [p, fin), the bytes passed copied to `salida`: sixteen at
// a time, each block stored whole and the output moved past the bytes before
// the stop only, so that a caller whose output never runs ahead of its input
// stays within its room.
template <typename Clase>
[[gnu::always_inline]] inline const char* copia_hasta_clase(const char* p, const char* fin,
                                                            char*& salida) {
#if defined(__SSE2__)
    for (; fin - p >= 16; p += 16) {
        const __m128i v = carga_16(p);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(salida), v);
        if (const unsigned m = bits_16(Clase::marca(v)); m != 0) {
            const int k = __builtin_ctz(m);
            salida += k;
            return p + k;
        }
        salida += 16;
    }
#endif
    for (; p < fin && !Clase::contiene(*p); ++p) {
        *salida++ = *p;
    }
    return p;
}

// How many of the n bytes at x and y are the same before the first that
// differs.
inline std::size_t comunes_en(const char* x, const char* y, std::size_t n) {
    std::size_t k = 0;
#if defined(__SSE2__)
    for (; n - k >= 16; k += 16) {
        const unsigned m = bits_16(_mm_cmpeq_epi8(carga_16(x + k), carga_16(y + k))) ^ 0xffffU;
        if (m != 0) {
            return k + static_cast<std::size_t>(__builtin_ctz(m));
        }
    }
#endif
    while (k < n && x[k] == y[k]) {
        ++k;
    }
    return k;
}

// The first n bytes at x and at y, n <= 16, are the same. One compare of 16
// under a mask of the length where SSE2 is: no branch on the length.
// REQUIRES: x[15] and y[15] can be read.
[[gnu::always_inline]] inline bool mismos_16(const char* x, const char* y, std::size_t n) {
#if defined(__SSE2__)
    const unsigned distintos = bits_16(_mm_cmpeq_epi8(carga_16(x), carga_16(y))) ^ 0xffffU;
    return (distintos & ((1U << n) - 1U)) == 0;
#else
    return std::string_view(x, n) == std::string_view(y, n);
#endif
}

// The bytes of Clase among the 16 at p, a bit each, the first the lowest.
// REQUIRES: p[15] can be read.
template <typename Clase>
[[gnu::always_inline]] inline unsigned clase_en_16(const char* p) {
#if defined(__SSE2__)
    return bits_16(Clase::marca(carga_16(p)));
#else
    unsigned m = 0;
    for (unsigned k = 0; k < 16; ++k) {
        m |= static_cast<unsigned>(Clase::contiene(p[k])) << k;
    }
    return m;
#endif
}

// The bytes of Clase among the 16 at p, and those of Doble that a byte of
// Doble follows, a bit each, the first the lowest. REQUIRES: p[16] can be
// read.
template <typename Clase, typename Doble>
[[gnu::always_inline]] inline unsigned clase_o_doble_en_16(const char* p) {
#if defined(__SSE2__)
    const __m128i v = carga_16(p);
    const __m128i dobles = _mm_and_si128(Doble::marca(v), Doble::marca(carga_16(p + 1)));
    return bits_16(_mm_or_si128(Clase::marca(v), dobles));
#else
    unsigned m = 0;
    for (unsigned k = 0; k < 16; ++k) {
        const bool doble = Doble::contiene(p[k]) && Doble::contiene(p[k + 1]);
        m |= static_cast<unsigned>(Clase::contiene(p[k]) || doble) << k;
    }
    return m;
#endif
}

// Line ends: a LF, and a lone CR, one whose next byte is not a LF.

#if defined(__SSE2__)
// 0xff at the line ends among the 16 bytes at p. REQUIRES: p[16] can be read.
[[gnu::always_inline]] inline __m128i fines_de_linea_16(const char* p) {
    const __m128i v = carga_16(p);
    const __m128i crs = _mm_andnot_si128(iguales_16(carga_16(p + 1), '\n'), iguales_16(v, '\r'));
    return _mm_or_si128(iguales_16(v, '\n'), crs);
}
#endif

// The line ends among the 16 bytes at p, a bit each, the first the lowest.
// REQUIRES: p[16] can be read.
[[gnu::always_inline]] inline unsigned saltos_en_16(const char* p) {
#if defined(__SSE2__)
    return bits_16(fines_de_linea_16(p));
#else
    unsigned m = 0;
    for (unsigned k = 0; k < 16; ++k) {
        const bool fin = p[k] == '\n' || (p[k] == '\r' && p[k + 1] != '\n');
        m |= static_cast<unsigned>(fin) << k;
    }
    return m;
#endif
}

#if defined(__SSE2__)
// How many of the 16 bytes at p `cuales` marks 0xff are line ends.
// REQUIRES: p[16] can be read.
[[gnu::always_inline]] inline std::int64_t cuenta_saltos_marcados(const char* p, __m128i cuales) {
    // Each line end a byte 1, summed: no popcnt in plain x86-64.
    const __m128i unos =
        _mm_and_si128(_mm_and_si128(fines_de_linea_16(p), cuales), _mm_set1_epi8(1));
    const __m128i sumas = _mm_sad_epu8(unos, _mm_setzero_si128());
    return _mm_cvtsi128_si64(sumas) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sumas, sumas));
}
#endif

// How many line ends among the first n bytes at p, n <= 16, the next byte
// read to tell a lone CR. REQUIRES: p[16] can be read.
[[gnu::always_inline]] inline std::int64_t cuenta_saltos_16(const char* p, std::size_t n) {
#if defined(__SSE2__)
    // From 16 - n on, the first n bytes 0xff and the rest 0.
    static constexpr signed char kPrimeros[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                  -1, -1, -1, -1, -1, 0,  0,  0,  0,  0,  0,
                                                  0,  0,  0,  0,  0,  0,  0,  0,  0,  0};
    return cuenta_saltos_marcados(
        p, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPrimeros + 16 - n)));
#else
    std::int64_t cuenta = 0;
    for (std::size_t k = 0; k < n; ++k) {
        cuenta += static_cast<int>(p[k] == '\n') |
                  (static_cast<int>(p[k] == '\r') & static_cast<int>(p[k + 1] != '\n'));
    }
    return cuenta;
#endif
}

// How many line ends among the 16 bytes at p. REQUIRES: p[16] can be read.
[[gnu::always_inline]] inline std::int64_t cuenta_saltos_16(const char* p) {
#if defined(__SSE2__)
    return cuenta_saltos_marcados(p, _mm_set1_epi8(-1));
#else
    return cuenta_saltos_16(p, 16);
#endif
}

}  // namespace kexo

#endif  // KEXO_COMMON_VECTORES_H_
