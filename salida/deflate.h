// zlib's deflate at the one level every archive uses, so that the same
// entries give the same bytes on every system: raw (a zip's entries) or
// gzipped (a tgz as a whole).
#ifndef KEXO_SALIDA_DEFLATE_H_
#define KEXO_SALIDA_DEFLATE_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kexo {

// The level of every deflate an archive holds.
constexpr int kNivelDeflate = 6;

// CRC-32 of `bytes`, continuing from `crc`.
std::uint32_t crc32_de(std::string_view bytes, std::uint32_t crc = 0);

// One deflate stream, its state released with it.
class compresor {
   public:
    enum class envoltura : unsigned char { ninguna, gzip };

    explicit compresor(envoltura como);
    ~compresor();
    compresor(const compresor&) = delete;
    compresor& operator=(const compresor&) = delete;

    // False when zlib could not start (no memory).
    bool vale() const { return vale_; }

    // Compresses `bytes`, and with `fin` ends the stream; gives the output to
    // `sale` in pieces. Returns 0, `sale`'s first error or EINVAL for zlib's.
    int comprime(std::string_view bytes, bool fin,
                 const std::function<int(std::string_view)>& sale);

   private:
    z_stream z_{};
    gz_header cabecera_{};  // zlib reads it when it writes the gzip header
    bool vale_ = false;
    std::string salida_;
};

}  // namespace kexo

#endif  // KEXO_SALIDA_DEFLATE_H_
