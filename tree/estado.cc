#include "tree/estado.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

// Header-only: the library whole in this object, the same on every system.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kexo {

struct sumador::estado_xxh3 {
    XXH3_state_t xxh3;
};

sumador::sumador() : estado_(new estado_xxh3) {
    XXH3_64bits_reset(&estado_->xxh3);
}

sumador::~sumador() = default;

void sumador::anade(std::string_view bytes) {
    XXH3_64bits_update(&estado_->xxh3, bytes.data(), bytes.size());
}

std::uint64_t sumador::concluye() const {
    return XXH3_64bits_digest(&estado_->xxh3);
}

std::uint64_t suma_de(std::string_view bytes) {
    return XXH3_64bits(bytes.data(), bytes.size());
}

std::uint64_t clave_de(const opciones_salida& opciones) {
    // Each part with its length before it, so that no two lists of parts
    // make the same bytes.
    std::string texto;
    const auto anade = [&texto](std::string_view parte) {
        texto += std::to_string(parte.size());
        texto += ':';
        texto += parte;
    };
    anade(opciones.version);
    anade(opciones.modo);
    anade(opciones.comprueba ? "comprueba" : "sin-comprobar");
    std::vector<std::string> extensiones = opciones.extensiones;
    for (std::string& e : extensiones) {
        std::transform(e.begin(), e.end(), e.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
    }
    std::sort(extensiones.begin(), extensiones.end());
    anade("extensiones");
    for (const std::string& e : extensiones) {
        anade(e);
    }
    anade("aviso");
    anade(opciones.aviso);
    anade("sin-compactar");
    for (const std::string& patron : opciones.sin_compactar) {
        anade(patron);
    }
    return suma_de(texto);
}

std::uint64_t clave_de_ruta(std::uint64_t clave, std::string_view ruta) {
    sumador s;
    s.anade(std::string_view(reinterpret_cast<const char*>(&clave), sizeof clave));
    s.anade(ruta);
    return s.concluye();
}

namespace {

constexpr std::string_view kVersionMarca = "kexo3";

void anade_numero(std::string& texto, std::int64_t n) {
    texto += ' ';
    texto += std::to_string(n);
}

void anade_hex(std::string& texto, std::uint64_t n) {
    char cifras[17];
    const auto fin = std::to_chars(cifras, cifras + sizeof cifras, n, 16).ptr;
    texto += ' ';
    texto.append(cifras, fin);
}

// ` ` and `n` in 16 hexadecimal digits.
std::string con_ceros(std::uint64_t n) {
    char cifras[18];
    std::snprintf(cifras, sizeof cifras, " %016llx", static_cast<unsigned long long>(n));
    return cifras;
}

void anade_nodo(std::string& texto, const nodo& n) {
    anade_numero(texto, n.tamano);
    anade_numero(texto, n.tiempo);
    anade_numero(texto, n.modo);
    anade_numero(texto, n.dueno);
    anade_numero(texto, n.grupo);
}

// Reads the fields of a record one at a time, each after one space.
class lector_marca {
   public:
    explicit lector_marca(std::string_view texto) : resto_(texto) {}

    template <typename Numero>
    bool numero(Numero& n, int base = 10) {
        if (resto_.empty() || resto_.front() != ' ') {
            return false;
        }
        resto_.remove_prefix(1);
        const auto [fin, error] =
            std::from_chars(resto_.data(), resto_.data() + resto_.size(), n, base);
        if (error != std::errc() || fin == resto_.data()) {
            return false;
        }
        resto_.remove_prefix(static_cast<std::size_t>(fin - resto_.data()));
        return true;
    }

    bool nodo_de(nodo& n) {
        return numero(n.tamano) && numero(n.tiempo) && numero(n.modo) && numero(n.dueno) &&
               numero(n.grupo);
    }

    bool letra(char& c) {
        if (resto_.size() < 2 || resto_.front() != ' ') {
            return false;
        }
        c = resto_[1];
        resto_.remove_prefix(2);
        return true;
    }

    bool al_final() const { return resto_.empty(); }

   private:
    std::string_view resto_;
};

bool mismos_atributos(const nodo& a, const nodo& b) {
    return a.modo == b.modo && a.dueno == b.dueno && a.grupo == b.grupo;
}

}  // namespace

std::string escribe_marca(const marca_fichero& marca) {
    std::string texto(kVersionMarca);
    anade_hex(texto, marca.clave);
    anade_nodo(texto, marca.origen);
    anade_nodo(texto, marca.escrito);
    anade_hex(texto, marca.escrito.numero);
    texto += ' ';
    texto += static_cast<char>(marca.tipo);
    anade_hex(texto, marca.suma);
    anade_hex(texto, marca.suma_escrita);
    anade_numero(texto, marca.resultado);
    anade_numero(texto, marca.motivo);
    anade_numero(texto, marca.linea);
    return texto + con_ceros(suma_de(texto));
}

bool lee_marca(std::string_view texto, marca_fichero& marca) {
    // Its own sum last: a record cut or changed anywhere does not read.
    constexpr std::size_t kSuma = 17;
    if (texto.size() < kVersionMarca.size() + kSuma ||
        texto.substr(0, kVersionMarca.size()) != kVersionMarca ||
        texto.substr(texto.size() - kSuma) !=
            con_ceros(suma_de(texto.substr(0, texto.size() - kSuma)))) {
        return false;
    }
    texto.remove_suffix(kSuma);
    lector_marca lector(texto.substr(kVersionMarca.size()));
    marca_fichero leida;
    char tipo = 0;
    if (!lector.numero(leida.clave, 16) || !lector.nodo_de(leida.origen) ||
        !lector.nodo_de(leida.escrito) || !lector.numero(leida.escrito.numero, 16) ||
        !lector.letra(tipo) || !lector.numero(leida.suma, 16) ||
        !lector.numero(leida.suma_escrita, 16) || !lector.numero(leida.resultado) ||
        !lector.numero(leida.motivo) || !lector.numero(leida.linea) || !lector.al_final()) {
        return false;
    }
    if (tipo != static_cast<char>(tipo_suma::ninguna) &&
        tipo != static_cast<char>(tipo_suma::suma) && tipo != static_cast<char>(tipo_suma::copia)) {
        return false;
    }
    leida.tipo = static_cast<tipo_suma>(tipo);
    marca = leida;
    return true;
}

vigencia vigencia_de(const marca_fichero& marca, std::uint64_t clave, const nodo& origen,
                     const nodo& destino) {
    const nodo& escrito = marca.escrito;
    // The file as it was put in place, untouched since (the same file, not
    // one that was given its record), and its source with the bits and owner
    // it had: what the options would make of it.
    if (destino.clase != clase_nodo::fichero || marca.clave != clave ||
        destino.numero != escrito.numero || destino.tamano != escrito.tamano ||
        destino.tiempo != escrito.tiempo || !mismos_atributos(destino, escrito) ||
        !mismos_atributos(origen, marca.origen) || origen.tamano != marca.origen.tamano) {
        return vigencia::vieja;
    }
    return origen.tiempo == marca.origen.tiempo ? vigencia::al_dia : vigencia::por_contenido;
}

}  // namespace kexo
