#include "compaction/compacta.h"

#include <cstring>
#include <utility>

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

// Bytes at which the scan stops to decide; the runs between them are copied whole.
using tabla_paradas = std::array<bool, 256>;

constexpr tabla_paradas paradas(const char* bytes) {
    tabla_paradas tabla{};
    for (; *bytes != '\0'; ++bytes) {
        tabla[static_cast<unsigned char>(*bytes)] = true;
    }
    return tabla;
}

// In code: quotes open literals, `//` opens a comment, CR may break a line.
constexpr tabla_paradas kEnCodigo = paradas("\r'\"/");
// In a literal only its own quote and CR matter.
constexpr tabla_paradas kEnSimples = paradas("\r'");
constexpr tabla_paradas kEnDobles = paradas("\r\"");

const tabla_paradas& paradas_de(char comilla) {
    if (comilla == '\'') {
        return kEnSimples;
    }
    return comilla == '"' ? kEnDobles : kEnCodigo;
}

// Index of the first byte at or after j that is in `tabla`, or the length of f.
std::int64_t siguiente_parada(std::string_view f, std::int64_t j, const tabla_paradas& tabla) {
    const auto* d = reinterpret_cast<const unsigned char*>(f.data());
    const auto n = static_cast<std::int64_t>(f.size());
    while (j < n && !tabla[d[j]]) {
        ++j;
    }
    return j;
}

// The literal state after quote c, p being the source byte before it. A quote
// right after a backslash neither opens nor closes a literal.
char sigue_literal(char comilla, char c, char p) {
    if (p == '\\') {
        return comilla;
    }
    if (comilla == '\0') {
        return c;
    }
    return c == comilla ? '\0' : comilla;
}

// Index of the CR or LF that ends the comment starting at j, or the length of f.
std::int64_t fin_de_comentario(std::string_view f, std::int64_t j) {
    const auto n = static_cast<std::int64_t>(f.size());
    while (j < n && byte_en(f, j) != kCR && byte_en(f, j) != kLF) {
        ++j;
    }
    return j;
}

// Handles the byte at j, which ends a line or a comment: a CR LF becomes one
// space and ends any literal, with the next line's leading spaces dropped; a lone
// CR is dropped; anything else (an LF, or the 0 byte past the end) is copied.
// Returns the index of the next byte to scan.
std::int64_t emite_corte(std::string_view f, std::int64_t j, std::string& res, char& comilla) {
    const char c = byte_en(f, j);
    if (c != kCR) {
        res += c;
        return j + 1;
    }
    if (byte_en(f, j + 1) != kLF) {
        return j + 1;
    }
    res += ' ';
    comilla = '\0';
    j += 2;
    while (byte_en(f, j) == ' ') {
        ++j;
    }
    return j;
}

void avisa(observador observa, const char* formato, std::string_view bytes, std::int64_t indice) {
    if (observa != nullptr) {
        observa(formato, bytes, indice);
    }
}

bool es_blanco_o_nulo(char c) {
    return c == ' ' || c == '\0';
}

}  // namespace

std::string escanea(std::string_view fuente) {
    const auto n = static_cast<std::int64_t>(fuente.size());
    std::string res;
    res.reserve(fuente.size() + 4);
    char comilla = '\0';  // the quote that opened the current literal; 0 outside one
    std::int64_t j = 0;   // the source index
    while (j < n) {
        const std::int64_t parada = siguiente_parada(fuente, j, paradas_de(comilla));
        res.append(fuente.data() + j, static_cast<std::size_t>(parada - j));
        j = parada;
        if (j == n) {
            break;
        }
        const char c = byte_en(fuente, j);
        if (c == '\'' || c == '"') {
            comilla = sigue_literal(comilla, c, byte_en(fuente, j - 1));
            res += c;
            ++j;
        } else if (c == '/' && byte_en(fuente, j + 1) != '/') {
            res += c;
            ++j;
        } else {
            if (c == '/') {
                j = fin_de_comentario(fuente, j);
            }
            j = emite_corte(fuente, j, res, comilla);
        }
    }
    return res;
}

std::int64_t recorta(std::string_view resultado) {
    auto ultimo = static_cast<std::int64_t>(resultado.size());
    while (ultimo > 0 && es_blanco_o_nulo(byte_en(resultado, ultimo))) {
        --ultimo;
    }
    return ultimo;
}

bool termina_en_cierre(std::string_view resultado, std::int64_t ultimo) {
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

compactado compacta_fuente(std::string_view fuente, observador observa) {
    std::string res = escanea(fuente);
    avisa(observa, "antes: r=%d  [%x:%c,%x:%c,%x:c]\n", res, static_cast<std::int64_t>(res.size()));
    std::int64_t ultimo = recorta(res);
    avisa(observa, "tras blancos: r=%d  [%x:%c,%x:%c,%x:c]\n", res, ultimo);
    if (termina_en_cierre(res, ultimo)) {
        avisa(observa, "dentro de if: r=%d  [%x:%c,%x:%c,%x:c]\n", res, ultimo);
        ultimo = separa_cierre(res, ultimo);
    }
    avisa(observa, "despues: r=%d  [%x:%c,%x:%c,%x:c]\n", res, ultimo);
    // Nothing but spaces and 0 bytes: an empty text, not a stray byte.
    if (ultimo == 0 && es_blanco_o_nulo(byte_en(res, 0))) {
        return {std::string(), -1};
    }
    res.resize(static_cast<std::size_t>(ultimo + 1));
    return {std::move(res), ultimo};
}

bool omite_byte(const compactado& texto, std::int64_t k) {
    return k == texto.ultimo - 1 && byte_en(texto.bytes, k) == ' ' &&
           byte_en(texto.bytes, k - 1) == '>';
}

std::array<std::string_view, 2> partes_emitidas(const compactado& texto) {
    const std::string_view todo(texto.bytes.data(), static_cast<std::size_t>(texto.ultimo + 1));
    const std::int64_t k = texto.ultimo - 1;
    if (k >= 0 && omite_byte(texto, k)) {
        const auto corte = static_cast<std::size_t>(k);
        return {todo.substr(0, corte), todo.substr(corte + 1)};
    }
    return {todo, std::string_view()};
}

std::string texto_emitido(const compactado& texto) {
    const auto partes = partes_emitidas(texto);
    std::string salida(partes[0]);
    salida.append(partes[1]);
    return salida;
}
