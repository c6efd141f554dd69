#include "salida/deflate.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace kexo {

namespace {

// zlib counts lengths in uInt: longer inputs go in pieces of at most this.
constexpr std::size_t kTramo = std::size_t{1} << 30;
constexpr std::size_t kSalida = std::size_t{1} << 16;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KEXO_CRC_PLEGADO 1

// Sixteen bytes, at any alignment.
__attribute__((target("pclmul,sse4.1"))) inline __m128i carga(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds `x` forward by the distance `k` holds, onto `siguiente`.
__attribute__((target("pclmul,sse4.1"))) inline __m128i avanza(__m128i x, __m128i k,
                                                               __m128i siguiente) {
    const __m128i bajo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i alto = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(bajo, alto), siguiente);
}

// CRC-32 by folding with carry-less multiplication: four 128-bit lanes
// folded 64 bytes forward at a time, then into one, then reduced to 32 bits
// (Barrett). The constants are x^n mod P for the reflected polynomial
// 0xEDB88320 at the fold distances, then P and floor(x^64 / P). `registro` is
// the CRC's register, not inverted; `n` a multiple of 16, at least 64.
// Returns the register after the bytes.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t pliega(const unsigned char* bytes,
                                                              std::size_t n,
                                                              std::uint32_t registro) {
    const __m128i k512 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k128 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k64 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i bajos32 = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x1 = _mm_xor_si128(carga(bytes), _mm_cvtsi32_si128(static_cast<int>(registro)));
    __m128i x2 = carga(bytes + 16);
    __m128i x3 = carga(bytes + 32);
    __m128i x4 = carga(bytes + 48);
    bytes += 64;
    n -= 64;
    for (; n >= 64; bytes += 64, n -= 64) {
        x1 = avanza(x1, k512, carga(bytes));
        x2 = avanza(x2, k512, carga(bytes + 16));
        x3 = avanza(x3, k512, carga(bytes + 32));
        x4 = avanza(x4, k512, carga(bytes + 48));
    }
    x1 = avanza(x1, k128, x2);
    x1 = avanza(x1, k128, x3);
    x1 = avanza(x1, k128, x4);
    for (; n >= 16; bytes += 16, n -= 16) {
        x1 = avanza(x1, k128, carga(bytes));
    }
    // 128 bits to 64, then Barrett's reduction to 32.
    __m128i x = _mm_xor_si128(_mm_clmulepi64_si128(x1, k128, 0x10), _mm_srli_si128(x1, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, bajos32), k64, 0x00),
                      _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, bajos32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, bajos32), barrett, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

bool hay_plegado() {
    static const bool hay = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return hay;
}
#endif

}  // namespace

std::uint32_t crc32_de(std::string_view bytes, std::uint32_t crc) {
#ifdef KEXO_CRC_PLEGADO
    // Below a few hundred bytes zlib's tables are as quick.
    if (bytes.size() >= 256 && hay_plegado()) {
        const std::size_t n = bytes.size() & ~std::size_t{15};
        crc = ~pliega(reinterpret_cast<const unsigned char*>(bytes.data()), n, ~crc);
        bytes.remove_prefix(n);
    }
#endif
    uLong suma = crc;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kTramo);
        suma = crc32(suma, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(n));
        bytes.remove_prefix(n);
    }
    return static_cast<std::uint32_t>(suma);
}

compresor::compresor(envoltura como) {
    // 15 bits of window; negative: raw deflate, +16: the gzip wrapper.
    const int ventana = como == envoltura::gzip ? 15 + 16 : -15;
    vale_ = deflateInit2(&z_, kNivelDeflate, Z_DEFLATED, ventana, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    if (vale_ && como == envoltura::gzip) {
        // No name, no time, and the same system byte (Unix) wherever it is
        // written: zlib's own default names the system it was built for.
        cabecera_.os = 3;
        vale_ = deflateSetHeader(&z_, &cabecera_) == Z_OK;
    }
}

compresor::~compresor() {
    deflateEnd(&z_);
}

int compresor::comprime(std::string_view bytes, bool fin,
                        const std::function<int(std::string_view)>& sale) {
    if (!vale_) {
        return ENOMEM;
    }
    salida_.resize(kSalida);
    for (;;) {
        const std::size_t n = std::min(bytes.size(), kTramo);
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        z_.avail_in = static_cast<uInt>(n);
        const bool ultimo = n == bytes.size();
        const int vaciado = fin && ultimo ? Z_FINISH : Z_NO_FLUSH;
        int r = Z_OK;
        do {
            z_.next_out = reinterpret_cast<Bytef*>(salida_.data());
            z_.avail_out = static_cast<uInt>(salida_.size());
            r = deflate(&z_, vaciado);
            if (r == Z_STREAM_ERROR) {
                vale_ = false;
                return EINVAL;
            }
            const std::size_t hechos = salida_.size() - z_.avail_out;
            if (hechos > 0) {
                if (const int error = sale(std::string_view(salida_.data(), hechos))) {
                    return error;
                }
            }
        } while (z_.avail_out == 0 || (vaciado == Z_FINISH && r != Z_STREAM_END));
        bytes.remove_prefix(n);
        if (ultimo) {
            return 0;
        }
    }
}

}  // namespace kexo
