// What kexo-arbol tells: progress while it works, on standard error when that
// is a terminal, and the report with its summary at the end.
#ifndef KEXO_TREE_INFORME_H_
#define KEXO_TREE_INFORME_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tree/recorrido.h"
#include "tree/trabajo.h"

namespace kexo {

// Progress, read from counters the workers add to: files done, MB read, rate.
class progreso {
   public:
    // `visible`: whether to show it at all (standard error is a terminal).
    progreso(std::size_t total, bool visible) : total_(total), visible_(visible) {}
    ~progreso();
    progreso(const progreso&) = delete;
    progreso& operator=(const progreso&) = delete;

    // Counts one entry done, of `bytes` read. Safe from any thread.
    void anota(std::uint64_t bytes) {
        bytes_.fetch_add(bytes, std::memory_order_relaxed);
        hechos_.fetch_add(1, std::memory_order_relaxed);
    }

    // Shows the progress so far.
    void muestra() const;

   private:
    std::size_t total_;
    bool visible_;
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::size_t> hechos_{0};
    std::chrono::steady_clock::time_point inicio_ = std::chrono::steady_clock::now();
};

// Prints the report, in path order, and the summary line. Returns the exit
// status: 1 when anything failed, else 0.
int informa(const std::vector<entrada>& entradas, const std::vector<informe_trabajo>& informes,
            const std::vector<fallo_recorrido>& fallos_recorrido);

}  // namespace kexo

#endif  // KEXO_TREE_INFORME_H_
