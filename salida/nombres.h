// A store of the names an archive writer keeps until its end: copied one
// after another into large blocks, so that each costs its bytes and no more.
#ifndef KEXO_SALIDA_NOMBRES_H_
#define KEXO_SALIDA_NOMBRES_H_

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace kexo {

class almacen_nombres {
   public:
    // A copy of `nombre`, which stays where it is as long as the store.
    std::string_view guarda(std::string_view nombre) {
        if (sitio_ < nombre.size()) {
            // A name longer than a block has one of its own.
            sitio_ = std::max(kBloque, nombre.size());
            bloques_.push_back(std::make_unique<char[]>(sitio_));
            libre_ = bloques_.back().get();
        }
        char* const copia = libre_;
        std::copy(nombre.begin(), nombre.end(), copia);
        libre_ += nombre.size();
        sitio_ -= nombre.size();
        return {copia, nombre.size()};
    }

   private:
    static constexpr std::size_t kBloque = std::size_t{64} << 10;
    std::vector<std::unique_ptr<char[]>> bloques_;
    char* libre_ = nullptr;  // the last block's room left: where it starts,
    std::size_t sitio_ = 0;  // and its size
};

}  // namespace kexo

#endif  // KEXO_SALIDA_NOMBRES_H_
