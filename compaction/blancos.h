// Spaces and 0 bytes held in little memory. A compacted text can end in
// gigabytes of them, which the trim removes or a later byte makes final: a run
// of one byte takes a few bytes here, however long it is, and a stretch where
// they alternate one byte for seven.
#ifndef KEXO_COMPACTION_BLANCOS_H_
#define KEXO_COMPACTION_BLANCOS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kexo {

class blancos {
   public:
    // Appends `bytes`. REQUIRES: they are all spaces or 0 bytes.
    void anade(std::string_view bytes);

    std::uint64_t tamano() const { return tamano_; }
    bool vacio() const { return tamano_ == 0; }

    // Gives `recibe` every byte held, in order and in pieces; then holds none.
    void entrega(const std::function<void(std::string_view bytes)>& recibe);

   private:
    void cierra_racha();
    void anade_racha(char byte, std::uint64_t n);
    void vacia_literal();

    std::string rachas_;         // the closed runs, encoded (see blancos.cc)
    char byte_ = ' ';            // the byte of the open run
    std::uint64_t racha_ = 0;    // the length of the open run
    unsigned char literal_ = 0;  // short runs gathered for a literal, a bit a byte
    unsigned en_literal_ = 0;    // bytes in literal_
    std::uint64_t tamano_ = 0;
};

// True when the 8 bytes of `ocho_bytes` are all spaces or 0 bytes.
bool son_espacios_o_nulos(std::uint64_t ocho_bytes);

}  // namespace kexo

#endif  // KEXO_COMPACTION_BLANCOS_H_
