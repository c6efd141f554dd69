#include "tree/cola.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kexo {

void reparte_tareas(std::size_t tareas, unsigned hilos,
                    const std::function<void(std::size_t tarea, unsigned hilo)>& tarea,
                    const std::function<void(std::size_t hechas)>& informa_avance) {
    std::atomic<std::size_t> siguiente{0};
    std::atomic<std::size_t> hechas{0};
    std::mutex cerrojo;
    std::condition_variable terminado;
    const auto trabajador = [&](unsigned hilo) {
        for (std::size_t i; (i = siguiente++) < tareas;) {
            tarea(i, hilo);
            if (++hechas == tareas) {
                const std::lock_guard<std::mutex> aviso(cerrojo);
                terminado.notify_all();
            }
        }
    };
    std::vector<std::thread> trabajadores;
    try {
        for (unsigned hilo = 0; hilo < hilos; ++hilo) {
            trabajadores.emplace_back(trabajador, hilo);
        }
    } catch (const std::system_error&) {
        if (trabajadores.empty()) {
            trabajador(0);  // no thread to be had: the work is done here
        }
    }
    {
        std::unique_lock<std::mutex> hasta_el_fin(cerrojo);
        while (!terminado.wait_for(hasta_el_fin, std::chrono::milliseconds(200),
                                   [&] { return hechas == tareas; })) {
            informa_avance(hechas);
        }
    }
    for (std::thread& t : trabajadores) {
        t.join();
    }
}

}  // namespace kexo
