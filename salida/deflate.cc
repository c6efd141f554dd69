#include "salida/deflate.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#ifdef KEXO_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace kexo {

namespace {

// zlib counts lengths in uInt: longer inputs go in pieces of at most this.
constexpr std::size_t kTramo = std::size_t{1} << 30;
constexpr std::size_t kSalida = std::size_t{1} << 16;

}  // namespace

std::uint32_t crc32_de(std::string_view bytes, std::uint32_t crc) {
#ifdef KEXO_LIBDEFLATE
    return libdeflate_crc32(crc, bytes.data(), bytes.size());
#else
    uLong suma = crc;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kTramo);
        suma = crc32(suma, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(n));
        bytes.remove_prefix(n);
    }
    return static_cast<std::uint32_t>(suma);
#endif
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
