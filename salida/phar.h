// A PHAR as PHP's phar extension reads it: the stub, PHP code that ends in
// __HALT_COMPILER();, then the manifest, the files' bytes one after another,
// and a SHA-256 or SHA-512 signature of all that precedes it.
#ifndef KEXO_SALIDA_PHAR_H_
#define KEXO_SALIDA_PHAR_H_

#include <memory>
#include <string>
#include <string_view>

#include "salida/paquete.h"

namespace kexo {

// The stub written when the user gives none. With `principal`, a path inside
// the archive, a program: a `#!` line for PHP, then code that maps the
// archive under `alias` and runs that script. Without, a library: the code
// only maps the archive, for whoever requires it. An empty alias maps the
// archive under its own file name. Ends as PHP writes a stub, in
// `__HALT_COMPILER(); ?>` and CR LF.
std::string stub_phar(std::string_view alias, std::string_view principal);

// Whether PHP finds a PHAR's manifest after `stub` (a user's): its first
// __HALT_COMPILER(); in any letter case is written so, in capitals, as
// PHP's reader looks for it, and nothing follows it but blanks and a `?>`.
bool stub_valido(std::string_view stub);

// A valid `stub` as it goes before the manifest: cut after its
// __HALT_COMPILER(); and ` ?>` and CR LF appended, as PHP's Phar::setStub
// writes it.
std::string completa_stub(std::string_view stub);

// Whether PHP opens a PHAR with `alias`: it refuses one holding `/`, `\`,
// `:`, `;`, CR or LF (and a NUL byte ends it).
bool alias_valido(std::string_view alias);

// The PHAR writer (see crea_escritor). Its calls return EINVAL for an
// entry PHP could not read back (an empty or malformed path, a link) or for
// an invalid stub or alias, EEXIST for a path already added, ENOENT for a
// hard link to a file not added, and EFBIG where a size outgrows what the
// format holds (4 GiB less a byte a file, 100 MiB of manifest); else the
// sinks' errors.
std::unique_ptr<escritor_paquete> crea_escritor_phar(const opciones_paquete& como, sumidero& salida,
                                                     sumidero& aparte);

}  // namespace kexo

#endif  // KEXO_SALIDA_PHAR_H_
