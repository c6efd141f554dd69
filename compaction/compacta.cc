#include "compaction/compacta.h"

#include <cstring>
#include <utility>

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
// closing tag. REQUIRES: when base > 0, res holds the two bytes before its
// last byte that is neither a space nor a 0.
texto_compactado remata(std::string res, std::int64_t base, observador observa) {
    avisa(observa, "antes: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base,
          static_cast<std::int64_t>(res.size()));
    std::int64_t ultimo = recorta(res);
    avisa(observa, "tras blancos: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base, ultimo);
    if (tiene_cierre_final(res, ultimo)) {
        avisa(observa, "dentro de if: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base, ultimo);
        ultimo = separa_cierre(res, ultimo);
    }
    avisa(observa, "despues: r=%d  [%x:%c,%x:%c,%x:c]\n", res, base, ultimo);
    // Nothing but spaces and 0 bytes: an empty text, not a stray byte.
    if (base == 0 && ultimo == 0 && es_blanco_o_nulo(byte_en(res, 0))) {
        return {std::string(), -1};
    }
    res.resize(static_cast<std::size_t>(ultimo + 1));
    return {std::move(res), ultimo};
}

// The length of the front of `cola` that the finishing can no longer change:
// all but the last byte that is neither a space nor a 0, the two bytes before
// it and the spaces and 0 bytes after it. Only bytes from `nuevos` on are new.
std::size_t finales(std::string_view cola, std::size_t nuevos) {
    for (std::size_t i = cola.size(); i > nuevos; --i) {
        if (!es_blanco_o_nulo(cola[i - 1])) {
            return i - 1 >= 2 ? i - 3 : 0;
        }
    }
    return 0;
}

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

texto_compactado compacta_fuente(std::string_view fuente, observador observa) {
    std::string res(fuente.size() + 1, '\0');
    escaner escaneo;
    char* fin = escaneo.cierra_fuente(escaneo.escanea(fuente, res.data()));
    res.resize(static_cast<std::size_t>(fin - res.data()));
    return remata(std::move(res), 0, observa);
}

void compactacion::descarta_devueltos() {
    std::memmove(cola_.data(), cola_.data() + devueltos_, llenos_ - devueltos_);
    llenos_ -= devueltos_;
    base_ += static_cast<std::int64_t>(devueltos_);
    devueltos_ = 0;
}

char* compactacion::hace_sitio(std::size_t bytes) {
    descarta_devueltos();
    // The room only grows, so that the bytes of a reused buffer are not cleared again.
    if (cola_.size() < llenos_ + bytes) {
        cola_.resize(llenos_ + bytes);
    }
    return &cola_[llenos_];
}

std::string_view compactacion::anade(std::string_view trozo) {
    char* inicio = hace_sitio(trozo.size() + 1);
    const std::size_t nuevos = llenos_;
    llenos_ += static_cast<std::size_t>(escaner_.escanea(trozo, inicio) - inicio);
    devueltos_ = finales(std::string_view(cola_.data(), llenos_), nuevos);
    return std::string_view(cola_.data(), devueltos_);
}

texto_compactado compactacion::concluye(observador observa) {
    char* inicio = hace_sitio(1);
    llenos_ += static_cast<std::size_t>(escaner_.cierra_fuente(inicio) - inicio);
    cola_.resize(llenos_);
    return remata(std::move(cola_), base_, observa);
}

bool es_byte_omitido(const texto_compactado& texto, std::int64_t k) {
    return k == texto.ultimo - 1 && byte_en(texto.bytes, k) == ' ' &&
           byte_en(texto.bytes, k - 1) == '>';
}

std::array<std::string_view, 2> partes_emitidas(const texto_compactado& texto) {
    const std::string_view todo(texto.bytes.data(), static_cast<std::size_t>(texto.ultimo + 1));
    const std::int64_t k = texto.ultimo - 1;
    if (k >= 0 && es_byte_omitido(texto, k)) {
        const auto corte = static_cast<std::size_t>(k);
        return {todo.substr(0, corte), todo.substr(corte + 1)};
    }
    return {todo, std::string_view()};
}

std::string texto_emitido(const texto_compactado& texto) {
    const auto partes = partes_emitidas(texto);
    std::string salida(partes[0]);
    salida.append(partes[1]);
    return salida;
}
