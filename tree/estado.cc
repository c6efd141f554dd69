#include "tree/estado.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

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

// The record's first byte. Records of earlier versions (text, which began
// "kexo") do not read, and the file is written again with a new one.
constexpr unsigned char kVersionMarca = 4;

// The record's own check: the low bytes of the sum of all before it.
constexpr std::size_t kBytesCheque = 4;

// How the source's content is known, in the low bits of the record's flag
// byte; the bits above say which sums follow (a sum of 0 is left out).
constexpr unsigned kBitsTipo = 0x03;
constexpr unsigned kHaySuma = 0x04;
constexpr unsigned kHaySumaEscrita = 0x08;

// The signed number whose two's complement is `n`, without relying on how
// the conversion is defined.
std::int64_t con_signo(std::uint64_t n) {
    constexpr std::uint64_t kMaximo = static_cast<std::uint64_t>(INT64_MAX);
    return n <= kMaximo ? static_cast<std::int64_t>(n) : -static_cast<std::int64_t>(~n) - 1;
}

// Small numbers of either sign in few bytes: 0, -1, 1, -2... as 0, 1, 2, 3...
std::uint64_t zigzag(std::uint64_t n) {
    return (n << 1) ^ (0 - (n >> 63));
}
std::uint64_t sin_zigzag(std::uint64_t n) {
    return (n >> 1) ^ (0 - (n & 1));
}

class escritor_marca {
   public:
    // Seven bits a byte, low first; the high bit says another follows.
    void varint(std::uint64_t n) {
        while (n >= 0x80) {
            bytes_ += static_cast<char>((n & 0x7f) | 0x80);
            n >>= 7;
        }
        bytes_ += static_cast<char>(n);
    }
    void con_signo(std::int64_t n) { varint(zigzag(static_cast<std::uint64_t>(n))); }
    // `n` as how far it is from `base`: 0, one byte, where they agree.
    void diferencia(std::int64_t n, std::int64_t base) {
        varint(zigzag(static_cast<std::uint64_t>(n) - static_cast<std::uint64_t>(base)));
    }
    void fijo(std::uint64_t n, std::size_t bytes = 8) {
        for (std::size_t i = 0; i < bytes; ++i) {
            bytes_ += static_cast<char>((n >> (8 * i)) & 0xff);
        }
    }
    void byte(unsigned b) { bytes_ += static_cast<char>(b); }
    std::string& bytes() { return bytes_; }

   private:
    std::string bytes_;
};

// Reads the fields of a record one at a time; any that runs past its end,
// or that is not in the shortest form its value has, fails.
class lector_marca {
   public:
    explicit lector_marca(std::string_view bytes) : resto_(bytes) {}

    bool varint(std::uint64_t& n) {
        n = 0;
        for (unsigned desplazamiento = 0; !resto_.empty(); desplazamiento += 7) {
            const auto b = static_cast<unsigned char>(resto_.front());
            resto_.remove_prefix(1);
            // The tenth byte has room for one bit, and a last byte of 0
            // after another is a longer form of a shorter number.
            if (desplazamiento == 63 && b > 1) {
                return false;
            }
            n |= static_cast<std::uint64_t>(b & 0x7f) << desplazamiento;
            if ((b & 0x80) == 0) {
                return b != 0 || desplazamiento == 0;
            }
        }
        return false;
    }
    bool de_32(std::uint32_t& n) {
        std::uint64_t leido = 0;
        if (!varint(leido) || leido > UINT32_MAX) {
            return false;
        }
        n = static_cast<std::uint32_t>(leido);
        return true;
    }
    bool con_signo(std::int64_t& n) {
        std::uint64_t leido = 0;
        if (!varint(leido)) {
            return false;
        }
        n = kexo::con_signo(sin_zigzag(leido));
        return true;
    }
    bool diferencia(std::int64_t& n, std::int64_t base) {
        std::uint64_t leido = 0;
        if (!varint(leido)) {
            return false;
        }
        n = kexo::con_signo(static_cast<std::uint64_t>(base) + sin_zigzag(leido));
        return true;
    }
    bool fijo(std::uint64_t& n) {
        if (resto_.size() < 8) {
            return false;
        }
        n = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            n |= static_cast<std::uint64_t>(static_cast<unsigned char>(resto_[i])) << (8 * i);
        }
        resto_.remove_prefix(8);
        return true;
    }
    bool fijo_con_signo(std::int64_t& n) {
        std::uint64_t leido = 0;
        if (!fijo(leido)) {
            return false;
        }
        n = kexo::con_signo(leido);
        return true;
    }
    bool byte(unsigned& b) {
        if (resto_.empty()) {
            return false;
        }
        b = static_cast<unsigned char>(resto_.front());
        resto_.remove_prefix(1);
        return true;
    }
    bool al_final() const { return resto_.empty(); }

   private:
    std::string_view resto_;
};

// The low bytes of the sum of `bytes`, as they end a record.
std::uint64_t cheque_de(std::string_view bytes) {
    return suma_de(bytes) & ((std::uint64_t{1} << (8 * kBytesCheque)) - 1);
}

// Each way the source's content is known, by its number in the record; one
// not among them is not known.
constexpr tipo_suma kTipos[] = {tipo_suma::ninguna, tipo_suma::suma, tipo_suma::copia};
unsigned numero_de(tipo_suma tipo) {
    for (unsigned i = 0; i < std::size(kTipos); ++i) {
        if (kTipos[i] == tipo) {
            return i;
        }
    }
    return 0;
}

bool mismos_atributos(const nodo& a, const nodo& b) {
    return a.modo == b.modo && a.dueno == b.dueno && a.grupo == b.grupo;
}

}  // namespace

// The record, in order: the version byte; the key, 8 bytes; the source's
// size, time (8 bytes), bits, owner and group; the file written's size, then
// its time, bits, owner and group as how far they are from the source's
// (the same, as a copy keeps them, in a byte each); its number; a flag byte
// (how the content is known, which sums follow); the sums, 8 bytes each; the
// result, cause and line; its check. All but the key, the source's time, the
// sums and the check are varints, signed ones zigzagged: an ordinary file's
// record is some 60 bytes, which the inode of ext4 (256 bytes) and of XFS
// keep beside their other attributes without a disk block more.
std::string escribe_marca(const marca_fichero& marca) {
    escritor_marca e;
    e.byte(kVersionMarca);
    e.fijo(marca.clave);
    const nodo& o = marca.origen;
    const nodo& d = marca.escrito;
    e.con_signo(o.tamano);
    e.fijo(static_cast<std::uint64_t>(o.tiempo));
    e.varint(o.modo);
    e.con_signo(o.dueno);
    e.con_signo(o.grupo);
    e.con_signo(d.tamano);
    e.diferencia(d.tiempo, o.tiempo);
    e.diferencia(d.modo, o.modo);
    e.diferencia(d.dueno, o.dueno);
    e.diferencia(d.grupo, o.grupo);
    e.varint(d.numero);
    e.byte(numero_de(marca.tipo) | (marca.suma != 0 ? kHaySuma : 0) |
           (marca.suma_escrita != 0 ? kHaySumaEscrita : 0));
    if (marca.suma != 0) {
        e.fijo(marca.suma);
    }
    if (marca.suma_escrita != 0) {
        e.fijo(marca.suma_escrita);
    }
    e.varint(marca.resultado);
    e.varint(marca.motivo);
    e.con_signo(marca.linea);
    e.fijo(cheque_de(e.bytes()), kBytesCheque);
    return std::move(e.bytes());
}

bool lee_marca(std::string_view bytes, marca_fichero& marca) {
    // Its own check last: a record cut or changed anywhere does not read.
    if (bytes.size() < 1 + kBytesCheque ||
        static_cast<unsigned char>(bytes.front()) != kVersionMarca) {
        return false;
    }
    const std::string_view cuerpo = bytes.substr(0, bytes.size() - kBytesCheque);
    std::uint64_t cheque = 0;
    for (std::size_t i = 0; i < kBytesCheque; ++i) {
        cheque |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[cuerpo.size() + i]))
                  << (8 * i);
    }
    if (cheque != cheque_de(cuerpo)) {
        return false;
    }
    lector_marca l(cuerpo.substr(1));
    marca_fichero leida;
    nodo& o = leida.origen;
    nodo& d = leida.escrito;
    std::int64_t modo = 0;  // the bits written, checked to fit before they are kept
    unsigned banderas = 0;
    if (!l.fijo(leida.clave) || !l.con_signo(o.tamano) || !l.fijo_con_signo(o.tiempo) ||
        !l.de_32(o.modo) || !l.con_signo(o.dueno) || !l.con_signo(o.grupo) ||
        !l.con_signo(d.tamano) || !l.diferencia(d.tiempo, o.tiempo) ||
        !l.diferencia(modo, o.modo) || !l.diferencia(d.dueno, o.dueno) ||
        !l.diferencia(d.grupo, o.grupo) || !l.varint(d.numero) || !l.byte(banderas) ||
        (banderas & ~(kBitsTipo | kHaySuma | kHaySumaEscrita)) != 0 ||
        (banderas & kBitsTipo) >= std::size(kTipos) ||
        ((banderas & kHaySuma) != 0 && !l.fijo(leida.suma)) ||
        ((banderas & kHaySumaEscrita) != 0 && !l.fijo(leida.suma_escrita)) ||
        !l.de_32(leida.resultado) || !l.de_32(leida.motivo) || !l.con_signo(leida.linea) ||
        !l.al_final()) {
        return false;
    }
    // A sum flagged as there is not 0 (that is written by leaving it out),
    // and the bits written fit in their field.
    if (((banderas & kHaySuma) != 0 && leida.suma == 0) ||
        ((banderas & kHaySumaEscrita) != 0 && leida.suma_escrita == 0) || modo < 0 ||
        modo > static_cast<std::int64_t>(UINT32_MAX)) {
        return false;
    }
    d.modo = static_cast<std::uint32_t>(modo);
    leida.tipo = kTipos[banderas & kBitsTipo];
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
