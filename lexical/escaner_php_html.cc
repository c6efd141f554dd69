// The scanner in inline HTML, up to an open tag, and in comments.
#include "lexical/escaner_php.h"
#include "lexical/escaner_php_interno.h"

namespace kexo {

pieza escaner_php::en_html() {
    if (f_.compare(p_, 3, "<?=") == 0) {
        estado_ = estado::codigo;
        return crea(clase_pieza::apertura, p_ + 3);
    }
    if (f_.compare(p_, 2, "<?") == 0 && hay_palabra(f_, p_ + 2, "php")) {
        const std::size_t tras = p_ + 5;
        if (tras == f_.size() || es_blanco(f_[tras])) {
            estado_ = estado::codigo;
            const std::size_t salto = tras_salto(f_, tras);
            return crea(clase_pieza::apertura,
                        salto != tras ? salto : std::min(tras + 1, f_.size()));
        }
    }
    for (std::size_t desde = p_ + 1;;) {
        const std::size_t q = f_.find('<', desde);
        if (q == std::string_view::npos) {
            return crea(clase_pieza::html, f_.size());
        }
        if (en(f_, q + 1) == '?' &&
            (en(f_, q + 2) == '=' ||
             (hay_palabra(f_, q + 2, "php") && (q + 5 == f_.size() || es_blanco(f_[q + 5]))))) {
            return crea(clase_pieza::html, q);
        }
        desde = q + 1;
    }
}

pieza escaner_php::comentario_de_linea(std::size_t desde) {
    return crea(clase_pieza::comentario, fin_de_comentario_de_linea(f_, desde));
}

pieza escaner_php::comentario_de_bloque() {
    const bool doc = es_documentacion(f_, p_);
    return crea(doc ? clase_pieza::documentacion : clase_pieza::comentario,
                fin_de_comentario_de_bloque(f_, p_ + (doc ? 4 : 2)));
}

}  // namespace kexo
