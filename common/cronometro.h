// Where a run's time goes, phase by phase: each thread adds the wall time of
// what it does to a tally of its own, and the tallies are summed at the end.
// With no tally (null), a measure reads no clock and costs a test.
#ifndef KEXO_COMMON_CRONOMETRO_H_
#define KEXO_COMMON_CRONOMETRO_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kexo {

enum class fase : unsigned char {
    recorrido,     // the walk of the source
    carpetas,      // making the destination's folders
    lectura,       // opening and reading a PHP source
    compactacion,  // kexo's rules and PHP's, and the notice
    comprobacion,  // the lexical check
    escritura,     // opening a new file and writing it
    copia,         // copying a file that is not PHP
    atributos,     // owner, bits and times, of files and folders
    renombrado,    // naming the new file and putting it in place
    cuantas,
};

inline constexpr std::size_t kFases = static_cast<std::size_t>(fase::cuantas);

struct tiempos_fases {
    std::array<std::int64_t, kFases> ns{};  // nanoseconds of wall time, by phase

    void suma(const tiempos_fases& otros) {
        for (std::size_t k = 0; k < kFases; ++k) {
            ns[k] += otros.ns[k];
        }
    }
};

// Adds the wall time from its making to its end, or to `termina`, to `que`
// in `tiempos`, when there is a tally.
class medida {
   public:
    medida(tiempos_fases* tiempos, fase que) noexcept : tiempos_(tiempos), que_(que) {
        if (tiempos_ != nullptr) {
            inicio_ = std::chrono::steady_clock::now();
        }
    }
    ~medida() { termina(); }
    medida(const medida&) = delete;
    medida& operator=(const medida&) = delete;

    void termina() noexcept {
        if (tiempos_ != nullptr) {
            const auto pasado = std::chrono::steady_clock::now() - inicio_;
            tiempos_->ns[static_cast<std::size_t>(que_)] +=
                std::chrono::duration_cast<std::chrono::nanoseconds>(pasado).count();
            tiempos_ = nullptr;
        }
    }

   private:
    tiempos_fases* tiempos_;
    fase que_;
    std::chrono::steady_clock::time_point inicio_{};
};

}  // namespace kexo

#endif  // KEXO_COMMON_CRONOMETRO_H_
