// A thread waited for when its owner ends, an exception's way included: a
// std::thread still running when destroyed ends the process.
#ifndef KEXO_COMMON_HILO_ESPERADO_H_
#define KEXO_COMMON_HILO_ESPERADO_H_

#include <thread>
#include <utility>

namespace kexo {

class hilo_esperado {
   public:
    hilo_esperado() = default;
    hilo_esperado(const hilo_esperado&) = delete;
    hilo_esperado& operator=(const hilo_esperado&) = delete;
    ~hilo_esperado() { espera(); }

    // Runs `trabajo` on a new thread; throws std::system_error when the
    // system gives none.
    template <typename Trabajo>
    void lanza(Trabajo trabajo) {
        hilo_ = std::thread(std::move(trabajo));
    }
    bool lanzado() const { return hilo_.joinable(); }
    void espera() {
        if (hilo_.joinable()) {
            hilo_.join();
        }
    }

   private:
    std::thread hilo_;
};

}  // namespace kexo

#endif  // KEXO_COMMON_HILO_ESPERADO_H_
