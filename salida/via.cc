#include "salida/via.h"

#include <cstdio>
#include <string>

#include "notice/aviso.h"

namespace kexo {

bool elige_via(via_escaneo& via, std::FILE* mensajes, const char* prefijo) {
    const std::string nombre = lee_entorno("KEXO_VIA");
    if (nombre.empty()) {
        via = via_de_este_procesador();
        return true;
    }
    via_escaneo pedida = via_escaneo::por_paradas;
    if (!via_por_nombre(nombre, pedida)) {
        std::fprintf(mensajes, "%sKEXO_VIA=%s no es una via conocida: paradas, avx2 o avx512\n",
                     prefijo, nombre.c_str());
        return false;
    }
    if (!admite(pedida)) {
        std::fprintf(mensajes, "%sKEXO_VIA=%s: este procesador no tiene esa via\n", prefijo,
                     nombre.c_str());
        return false;
    }
    via = pedida;
    return true;
}

}  // namespace kexo
