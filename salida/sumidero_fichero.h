// An archive's bytes written to an open file, through a buffer of its own:
// appended in large writes, and read or written again in place where a
// format goes back.
#ifndef KEXO_SALIDA_SUMIDERO_FICHERO_H_
#define KEXO_SALIDA_SUMIDERO_FICHERO_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "salida/paquete.h"

namespace kexo {

class sumidero_fichero final : public sumidero {
   public:
    // Writes to `flujo`, open for reading too, from its start; borrowed.
    explicit sumidero_fichero(std::FILE* flujo) : flujo_(flujo) {}

    int escribe(std::string_view bytes) override;
    int escribe_en(std::uint64_t posicion, std::string_view bytes) override;
    int lee_en(std::uint64_t posicion, char* donde, std::size_t n) override;
    std::uint64_t tamano() const override { return vaciados_ + pendiente_.size(); }
    // From another file's sink, through the kernel where the system can.
    int anade_de(sumidero& origen, std::uint64_t posicion, std::uint64_t n) override;

    // Writes what the buffer holds to the file. Returns 0, or the error number.
    int vacia() override;

   private:
    // Writes `bytes` to the file and flushes them; notes the first error.
    int a_fichero(std::string_view bytes);

    std::FILE* flujo_;
    std::string pendiente_;       // appended bytes not yet written
    std::uint64_t vaciados_ = 0;  // bytes in the file
    int error_ = 0;               // the first write that failed: every later call fails so
};

}  // namespace kexo

#endif  // KEXO_SALIDA_SUMIDERO_FICHERO_H_
