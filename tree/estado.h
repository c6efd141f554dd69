// What lets a run leave alone what it would write the same: a record kept
// on each file written (the options' key, what its source was, what was
// written), a content sum of the source, and the test that a file is up to
// date. A record missing, cut or unreadable only means the file is written
// again.
#ifndef KEXO_TREE_ESTADO_H_
#define KEXO_TREE_ESTADO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/carpeta.h"

namespace kexo {

// A 64-bit sum of bytes (XXH3), fed in pieces of any size: the same bytes
// give the same sum however they are cut. It tells that content changed, not
// that it was changed on purpose: no defence against a crafted collision.
class sumador {
   public:
    sumador();
    ~sumador();
    sumador(const sumador&) = delete;
    sumador& operator=(const sumador&) = delete;
    void anade(std::string_view bytes);
    std::uint64_t concluye() const;

   private:
    struct estado_xxh3;
    std::unique_ptr<estado_xxh3> estado_;
};

// The sum of `bytes` at once.
std::uint64_t suma_de(std::string_view bytes);

// What the options that change a file's output come to, as one number: the
// program's version, the rules (`modo`), whether the result is checked, the
// PHP extensions, the notice, and the patterns of PHP files left as they are.
struct opciones_salida {
    std::string version;
    std::string modo;
    bool comprueba = true;
    std::vector<std::string> extensiones;
    std::string aviso;
    std::vector<std::string>
        sin_compactar;  // PHP files copied as they are, if that option is given
};
std::uint64_t clave_de(const opciones_salida& opciones);

// The key a file's record holds: the options' key and the file's path, so
// that a record moved or copied onto another name never matches it.
std::uint64_t clave_de_ruta(std::uint64_t clave, std::string_view ruta);

// How the source's content is known from the record.
enum class tipo_suma : char {
    ninguna = '-',  // not known: checking content means writing again
    suma = 's',     // the sum of the source's bytes
    copia = 'c',    // the file written is the source's bytes
};

// The record of a file written.
struct marca_fichero {
    std::uint64_t clave = 0;  // the options' key with the file's path
    nodo origen;              // the source as read: size, time, bits, owner
    nodo escrito;             // the file written as it was put in place, and its number
    tipo_suma tipo = tipo_suma::ninguna;
    std::uint64_t suma = 0;
    std::uint64_t suma_escrita = 0;  // with `suma`: the sum of the bytes written
    // What was written, as the report names it: a result of the work, and
    // for a PHP file left as it was, why and where (a cause, a line).
    std::uint32_t resultado = 0;
    std::uint32_t motivo = 0;
    std::int64_t linea = 0;
};

// The record as bytes, short enough to stay in a file's inode, and back.
// `lee_marca` returns false for anything but a whole record of this version.
std::string escribe_marca(const marca_fichero& marca);
bool lee_marca(std::string_view bytes, marca_fichero& marca);

// How a destination file stands against its source.
enum class vigencia : unsigned char {
    vieja,          // to be written again
    al_dia,         // as a fresh run would write it
    por_contenido,  // all but the source's size and time agree: its content decides
};

// How the destination file `destino`, whose record is `marca`, stands against
// the source `origen`, seen now, for a run whose key is `clave`.
vigencia vigencia_de(const marca_fichero& marca, std::uint64_t clave, const nodo& origen,
                     const nodo& destino);

}  // namespace kexo

#endif  // KEXO_TREE_ESTADO_H_
