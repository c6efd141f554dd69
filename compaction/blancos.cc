#include "compaction/blancos.h"

#include <algorithm>
#include <cstring>

namespace kexo {

namespace {

// A closed run's first byte: a literal of seven bytes (bit 7, then one bit a
// byte, set for a space, the first in bit 0), or a run of one byte (bit 6 set
// for spaces) whose length has its low 5 bits here, and the rest in the bytes
// that follow, 7 bits a byte, lowest first, bit 7 set on all but the last
// (when bit 5 says they follow).
constexpr unsigned char kLiteral = 0x80;
constexpr unsigned kPorLiteral = 7;
constexpr unsigned char kDeEspacios = 0x40;
constexpr unsigned char kSigue = 0x20;
constexpr unsigned kBitsPrimero = 5;

// Runs shorter than this go into literals.
constexpr std::uint64_t kRachaLarga = 8;

constexpr std::uint64_t kOchoEspacios = 0x2020202020202020ull;

// The length of the run of `byte` at the start of `bytes`.
std::size_t racha_inicial(std::string_view bytes, char byte) {
    const std::uint64_t patron = byte == ' ' ? kOchoEspacios : 0;
    std::size_t i = 0;
    for (std::uint64_t ocho; i + 8 <= bytes.size(); i += 8) {
        std::memcpy(&ocho, bytes.data() + i, 8);
        if (ocho != patron) {
            break;
        }
    }
    while (i < bytes.size() && bytes[i] == byte) {
        ++i;
    }
    return i;
}

// Gives `recibe` the bytes put in `bloque` from index `llenos` on, through it.
class vertedor {
   public:
    vertedor(std::uint64_t total, const std::function<void(std::string_view)>& recibe)
        : bloque_(static_cast<std::size_t>(std::min<std::uint64_t>(total, 64 * 1024)), '\0'),
          recibe_(recibe) {}

    void vierte(char byte, std::uint64_t n) {
        while (n > 0) {
            const auto cabe =
                static_cast<std::size_t>(std::min<std::uint64_t>(n, bloque_.size() - llenos_));
            std::memset(&bloque_[llenos_], byte, cabe);
            llenos_ += cabe;
            n -= cabe;
            if (llenos_ == bloque_.size()) {
                recibe_(bloque_);
                llenos_ = 0;
            }
        }
    }

    void acaba() {
        if (llenos_ > 0) {
            recibe_(std::string_view(bloque_.data(), llenos_));
        }
    }

   private:
    std::string bloque_;
    std::size_t llenos_ = 0;
    const std::function<void(std::string_view)>& recibe_;
};

}  // namespace

void blancos::anade_racha(char byte, std::uint64_t n) {
    const auto bajos = static_cast<unsigned char>(n & ((1u << kBitsPrimero) - 1));
    std::uint64_t resto = n >> kBitsPrimero;
    rachas_ +=
        static_cast<char>((byte == ' ' ? kDeEspacios : 0) | (resto != 0 ? kSigue : 0) | bajos);
    for (; resto != 0; resto >>= 7) {
        rachas_ += static_cast<char>((resto & 0x7f) | (resto > 0x7f ? 0x80 : 0));
    }
}

void blancos::vacia_literal() {
    for (unsigned i = 0; i < en_literal_; ++i) {
        anade_racha((literal_ >> i) & 1 ? ' ' : '\0', 1);
    }
    literal_ = 0;
    en_literal_ = 0;
}

void blancos::cierra_racha() {
    if (racha_ >= kRachaLarga) {
        vacia_literal();
        anade_racha(byte_, racha_);
    } else {
        for (; racha_ > 0; --racha_) {
            literal_ |= static_cast<unsigned char>((byte_ == ' ' ? 1u : 0u) << en_literal_);
            if (++en_literal_ == kPorLiteral) {
                rachas_ += static_cast<char>(kLiteral | literal_);
                literal_ = 0;
                en_literal_ = 0;
            }
        }
    }
    racha_ = 0;
}

void blancos::anade(std::string_view bytes) {
    tamano_ += bytes.size();
    while (!bytes.empty()) {
        if (bytes.front() != byte_) {
            cierra_racha();
            byte_ = bytes.front();
        }
        const std::size_t n = racha_inicial(bytes, byte_);
        racha_ += n;
        bytes.remove_prefix(n);
    }
}

void blancos::entrega(const std::function<void(std::string_view)>& recibe) {
    cierra_racha();
    vacia_literal();
    vertedor salida(tamano_, recibe);
    for (std::size_t i = 0; i < rachas_.size();) {
        const auto primero = static_cast<unsigned char>(rachas_[i++]);
        if ((primero & kLiteral) != 0) {
            for (unsigned bit = 0; bit < kPorLiteral; ++bit) {
                salida.vierte((primero >> bit) & 1 ? ' ' : '\0', 1);
            }
            continue;
        }
        std::uint64_t n = primero & ((1u << kBitsPrimero) - 1);
        if ((primero & kSigue) != 0) {
            unsigned desplaza = kBitsPrimero;
            for (unsigned char b = 0x80; (b & 0x80) != 0 && i < rachas_.size(); desplaza += 7) {
                b = static_cast<unsigned char>(rachas_[i++]);
                n |= static_cast<std::uint64_t>(b & 0x7f) << desplaza;
            }
        }
        salida.vierte((primero & kDeEspacios) != 0 ? ' ' : '\0', n);
    }
    salida.acaba();
    std::string().swap(rachas_);
    tamano_ = 0;
}

bool son_espacios_o_nulos(std::uint64_t ocho_bytes) {
    return (ocho_bytes & ~kOchoEspacios) == 0;
}

}  // namespace kexo
