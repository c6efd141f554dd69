// The zip writer: each file deflated on its own (or stored where deflate
// does not make it smaller), Unix modes and UTC times, Zip64 records where a
// size, an offset or the number of entries needs them.
#ifndef KEXO_SALIDA_ZIP_H_
#define KEXO_SALIDA_ZIP_H_

#include <cstdint>
#include <memory>

#include "salida/paquete.h"

namespace kexo {

// Where a zip's fields stop holding a value: from these on, the value goes
// in a Zip64 record. Lower in tests, so that small archives take that path.
struct limites_zip {
    std::uint64_t bytes = 0xFFFFFFFF;  // sizes and offsets (4-byte fields)
    std::uint64_t entradas = 0xFFFF;   // the number of entries (2-byte fields)
};

std::unique_ptr<escritor_paquete> crea_escritor_zip(const opciones_paquete& como, sumidero& salida,
                                                    sumidero& aparte);
std::unique_ptr<escritor_paquete> crea_escritor_zip(const opciones_paquete& como, sumidero& salida,
                                                    const limites_zip& limites);

// The DOS date (high 16 bits) and time (low 16 bits) of `tiempo`, in UTC:
// from 1980-01-01 00:00 (earlier times are that) to the end of 2107.
std::uint32_t fecha_dos(std::int64_t tiempo);

}  // namespace kexo

#endif  // KEXO_SALIDA_ZIP_H_
