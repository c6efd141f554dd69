#include "compaction/compacta.h"

#include <cstring>
#include <utility>

namespace kexo {

namespace {

bool es_blanco_o_nulo(char c) {
    return c == ' ' || c == '\0';
}

void avisa(observador observa, const char* formato, std::string_view bytes, std::int64_t base,
           std::int64_t indice) {
    if (observa != nullptr) {
        observa(formato, bytes, base, indice);
    }
}

// The finishing of `res`, the compacted bytes from index `base` on: trim and
// closing tag. Returns them up to and including the text's last byte; none
// when the whole text is nothing but spaces and 0 bytes. REQUIRES: when
// base > 0, res holds the two bytes before its last byte that is neither a
// space nor a 0.
std::string remata(std::string res, std::int64_t base, observador observa) {
    std::int64_t ultimo = recorta(res);
    avisa(observa, "tras blancos: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base, ultimo);
    if (tiene_cierre_final(res, ultimo)) {
        avisa(observa, "dentro de if: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base, ultimo);
        ultimo = separa_cierre(res, ultimo);
    }
    avisa(observa, "despues: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base, ultimo);
    // Nothing but spaces and 0 bytes: an empty text, not a stray byte.
    if (base == 0 && ultimo == 0 && es_blanco_o_nulo(byte_en(res, 0))) {
        return std::string();
    }
    res.resize(static_cast<std::size_t>(ultimo + 1));
    return res;
}

// Reports the scanned text before the finishing: `final` are its last bytes,
// which start at index `base`.
void avisa_antes(observador observa, std::string_view final, std::int64_t base) {
    avisa(observa, "antes: r=%d  [%x:%c,%x:%c,%x:c]\n", final, base,
          static_cast<std::int64_t>(final.size()));
}

// The length of the front of `cola` that the finishing can no longer change:
// all but the last byte that is neither a space nor a 0, the two bytes before
// it and the spaces and 0 bytes after it. Only bytes from `nuevos` on are new.
std::size_t finales(std::string_view cola, std::size_t nuevos) {
    std::size_t i = cola.size();
    for (std::uint64_t ocho; i >= nuevos + 8; i -= 8) {
        std::memcpy(&ocho, cola.data() + i - 8, 8);
        if (!son_espacios_o_nulos(ocho)) {
            break;
        }
    }
    for (; i > nuevos; --i) {
        if (!es_blanco_o_nulo(cola[i - 1])) {
            return i - 1 >= 2 ? i - 3 : 0;
        }
    }
    return 0;
}

// The spaces and 0 bytes held at the end of cola_ beyond these go to blancos_.
constexpr std::size_t kBlancosEnCola = 64;

}  // namespace

std::int64_t recorta(std::string_view resultado) {
    auto ultimo = static_cast<std::int64_t>(resultado.size());
    while (ultimo > 0 && es_blanco_o_nulo(byte_en(resultado, ultimo))) {
        --ultimo;
    }
    return ultimo;
}

bool tiene_cierre_final(std::string_view resultado, std::int64_t ultimo) {
    return byte_en(resultado, ultimo) == '>' && byte_en(resultado, ultimo - 1) == '?';
}

std::int64_t separa_cierre(std::string& resultado, std::int64_t ultimo) {
    const auto fin = static_cast<std::size_t>(ultimo + 5);
    if (resultado.size() < fin) {
        resultado.resize(fin);
    }
    std::memcpy(&resultado[static_cast<std::size_t>(ultimo - 1)], "\r\n?>\r\n", 6);
    return ultimo + 4;
}

texto_compactado compacta_fuente(std::string_view fuente, observador observa, via_escaneo via) {
    texto_compactado texto{std::string(), -1};
    texto.bytes.reserve(fuente.size() + 4);
    const receptor anota = [&texto](std::string_view bytes) { texto.bytes.append(bytes); };
    compactacion compactando(via);
    compactando.anade(fuente, anota);
    texto.ultimo = compactando.concluye(anota, observa);
    return texto;
}

char* compactacion::hace_sitio(std::size_t bytes) {
    // The room only grows, so that the bytes of a reused buffer are not cleared again.
    if (cola_.size() < llenos_ + bytes) {
        cola_.resize(llenos_ + bytes);
    }
    return &cola_[llenos_];
}

void compactacion::reparte(std::size_t nuevos, const receptor& recibe) {
    const std::string_view cola(cola_.data(), llenos_);
    const std::size_t n = finales(cola, nuevos);
    if (n == 0) {
        compacta_blancos();
        return;
    }
    if (!blancos_.vacio()) {
        // A later byte that is neither a space nor a 0 makes the held ones final.
        recibe(cola.substr(0, corte_));
        base_ += static_cast<std::int64_t>(corte_ + blancos_.tamano());
        blancos_.entrega(recibe);
        recibe(cola.substr(corte_, n - corte_));
        base_ += static_cast<std::int64_t>(n - corte_);
    } else {
        recibe(cola.substr(0, n));
        base_ += static_cast<std::int64_t>(n);
    }
    std::memmove(cola_.data(), cola_.data() + n, llenos_ - n);
    llenos_ -= n;
    compacta_blancos();
}

void compactacion::compacta_blancos() {
    if (blancos_.vacio()) {
        // All that cola_ holds past its first bytes is spaces and 0 bytes.
        corte_ = std::min<std::size_t>(llenos_, 3);
        while (corte_ > 0 && es_blanco_o_nulo(cola_[corte_ - 1])) {
            --corte_;
        }
    }
    if (llenos_ - corte_ <= 2 * kBlancosEnCola) {
        return;
    }
    const std::size_t mueve = llenos_ - corte_ - kBlancosEnCola;
    blancos_.anade(std::string_view(cola_.data() + corte_, mueve));
    std::memmove(cola_.data() + corte_, cola_.data() + corte_ + mueve, kBlancosEnCola);
    llenos_ -= mueve;
}

void compactacion::anade(std::string_view trozo, const receptor& recibe) {
    char* inicio = hace_sitio(trozo.size() + 1);
    const std::size_t nuevos = llenos_;
    llenos_ += static_cast<std::size_t>(escaner_.escanea(trozo, inicio) - inicio);
    reparte(nuevos, recibe);
}

std::int64_t compactacion::concluye(const receptor& recibe, observador observa) {
    char* inicio = hace_sitio(1);
    const std::size_t nuevos = llenos_;
    llenos_ += static_cast<std::size_t>(escaner_.cierra_fuente(inicio) - inicio);
    reparte(nuevos, recibe);
    cola_.resize(llenos_);
    if (!blancos_.vacio()) {
        // The text ends in the held spaces and 0 bytes, which the trim removes.
        const std::int64_t fin_blancos =
            base_ + static_cast<std::int64_t>(corte_ + blancos_.tamano());
        avisa_antes(observa, std::string_view(cola_).substr(corte_), fin_blancos);
        cola_.resize(corte_);
        blancos_ = blancos();
    } else {
        avisa_antes(observa, cola_, base_);
    }
    const std::string resto = remata(std::move(cola_), base_, observa);
    for (const std::string_view parte : partes_emitidas(resto)) {
        if (!parte.empty()) {
            recibe(parte);
        }
    }
    return base_ + static_cast<std::int64_t>(resto.size()) - 1;
}

bool es_byte_omitido(std::string_view texto, std::int64_t k) {
    const auto ultimo = static_cast<std::int64_t>(texto.size()) - 1;
    return k == ultimo - 1 && byte_en(texto, k) == ' ' && byte_en(texto, k - 1) == '>';
}

std::array<std::string_view, 2> partes_emitidas(std::string_view texto) {
    const auto k = static_cast<std::int64_t>(texto.size()) - 2;
    if (k >= 0 && es_byte_omitido(texto, k)) {
        const auto corte = static_cast<std::size_t>(k);
        return {texto.substr(0, corte), texto.substr(corte + 1)};
    }
    return {texto, std::string_view()};
}

}  // namespace kexo
