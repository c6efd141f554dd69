// The tar writer: POSIX pax (ustar headers, an extended header before an
// entry whose name, link target, size or time ustar cannot hold), owner 0,
// in 10240-byte records; gzipped as a whole for a tgz.
#ifndef KEXO_SALIDA_TAR_H_
#define KEXO_SALIDA_TAR_H_

#include <memory>

#include "salida/paquete.h"

namespace kexo {

// With `gzip`, the tar goes through deflate as it is written: `salida` is
// then only appended to. `aparte` holds a streamed file until its size is
// known. `prepara` gives the bytes as they are, with no CRC (0).
std::unique_ptr<escritor_paquete> crea_escritor_tar(const opciones_paquete& como, sumidero& salida,
                                                    sumidero& aparte, bool gzip);

}  // namespace kexo

#endif  // KEXO_SALIDA_TAR_H_
