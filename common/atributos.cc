#include "common/atributos.h"

#include "common/ficheros.h"

namespace kexo {

int copia_atributos(int fd, std::FILE* original, nodo* queda) {
    atributos_origen de;
    const int error = lee_atributos(descriptor_de(original), de);
    return error != 0 ? error : copia_atributos(fd, de, queda);
}

}  // namespace kexo
