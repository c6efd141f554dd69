// The notice under PHP's rules: a /* */ comment in the first open tag, or a
// PHP block of its own glued to the first line, so that no line moves.
#include <algorithm>

#include "lexical/escaner_php.h"
#include "notice/aviso.h"

namespace kexo {

bool aviso_cabe_en_comentario(std::string_view aviso) {
    return aviso.find("*/") == std::string_view::npos &&
           aviso.find_first_of("\r\n") == std::string_view::npos;
}

std::string con_aviso_php(std::string_view compactado, std::string_view aviso) {
    std::string salida(compactado);
    if (!aviso_cabe_en_comentario(aviso)) {
        return salida;
    }
    std::size_t p = 0;
    if (compactado.compare(0, 2, "#!") == 0) {
        // PHP's line of the interpreter runs to the first LF.
        const std::size_t salto = compactado.find('\n');
        if (salto == std::string_view::npos) {
            return salida;
        }
        p = salto + 1;
    }
    // Past blank lines: a close tag glued before a line end would take it.
    p = std::min(compactado.find_first_not_of("\r\n", p), compactado.size());
    const std::string comentario = "/* " + std::string(aviso) + " */";
    const bool etiqueta = [&] {
        escaner_php escaner(compactado.substr(p));
        const pieza primera = escaner.siguiente();
        return primera.clase == clase_pieza::apertura && primera.texto.size() >= 5;
    }();
    if (etiqueta) {
        salida.insert(p + 5, " " + comentario);
    } else {
        salida.insert(p, "<?php " + comentario + " ?>");
    }
    return salida;
}

}  // namespace kexo
