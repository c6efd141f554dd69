// SHA-256 and SHA-512 digests of bytes given piece by piece: a PHAR's
// signature. Each system computes them with its own library.
#ifndef KEXO_COMMON_RESUMEN_H_
#define KEXO_COMMON_RESUMEN_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kexo {

enum class algoritmo_resumen : unsigned char { sha256, sha512 };

// The length in bytes of `algoritmo`'s digest.
constexpr std::size_t largo_resumen(algoritmo_resumen algoritmo) {
    return algoritmo == algoritmo_resumen::sha256 ? 32 : 64;
}

class resumen {
   public:
    explicit resumen(algoritmo_resumen algoritmo);
    ~resumen();
    resumen(const resumen&) = delete;
    resumen& operator=(const resumen&) = delete;

    // Adds the bytes that follow those added before.
    void anade(std::string_view bytes);
    // The digest of every byte added: largo_resumen bytes, or none where the
    // system failed to compute it. Nothing is added after it.
    std::string termina();

   private:
    struct estado;
    std::unique_ptr<estado> estado_;
};

}  // namespace kexo

#endif  // KEXO_COMMON_RESUMEN_H_
