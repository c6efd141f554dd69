#include "tree/reparto.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "common/hilo_esperado.h"
#include "common/procesos.h"
#include "tree/informe.h"

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

unsigned hilos_posibles(unsigned pedidos, std::uint64_t permitidos) {
    constexpr std::uint64_t kPorHilo = 6;  // two folders, a source, a temporary file, and spare
    constexpr std::uint64_t kComunes = 8;  // standard streams, both roots, the walk
    const std::uint64_t caben =
        permitidos > kComunes + kPorHilo ? (permitidos - kComunes) / kPorHilo : 1;
    return static_cast<unsigned>(std::min<std::uint64_t>(pedidos, caben));
}

namespace {

// How far the folders are made: every folder whose entry's index is below
// hasta() exists, or failed to. One thread makes them; the others wait.
class carpetas_en_curso {
   public:
    // Every folder below `indice` is made.
    void hasta(std::size_t indice) {
        {
            const std::lock_guard<std::mutex> aviso(cerrojo_);
            hasta_.store(indice, std::memory_order_release);
        }
        hechas_.notify_all();
    }

    // Returns once the folder of entry `indice` is made (kNinguna: the root,
    // always there).
    void espera(std::size_t indice) {
        if (indice == kNinguna || hasta_.load(std::memory_order_acquire) > indice) {
            return;
        }
        std::unique_lock<std::mutex> hasta_que(cerrojo_);
        hechas_.wait(hasta_que, [&] { return hasta_.load(std::memory_order_acquire) > indice; });
    }

   private:
    std::atomic<std::size_t> hasta_{0};
    std::mutex cerrojo_;
    std::condition_variable hechas_;
};

// The entries each folder holds that are still to be done, counted down as
// they are; and which folders hold none, told apart before any work (a
// folder's count reaches 0 as it is finished too).
class pendientes_por_carpeta {
   public:
    explicit pendientes_por_carpeta(const std::vector<entrada>& entradas)
        : cuenta_(new std::atomic<std::size_t>[entradas.size()]), vacia_(entradas.size()) {
        for (std::size_t i = 0; i < entradas.size(); ++i) {
            cuenta_[i].store(0, std::memory_order_relaxed);
        }
        for (const entrada& e : entradas) {
            if (e.padre != kNinguna) {
                cuenta_[e.padre].fetch_add(1, std::memory_order_relaxed);
            }
        }
        for (std::size_t i = 0; i < entradas.size(); ++i) {
            vacia_[i] = entradas[i].tipo == tipo_entrada::carpeta &&
                        cuenta_[i].load(std::memory_order_relaxed) == 0;
        }
    }

    bool vacia(std::size_t carpeta) const { return vacia_[carpeta]; }

    // One entry of `carpeta` done. Returns true when it was the last.
    bool una_menos(std::size_t carpeta) {
        return cuenta_[carpeta].fetch_sub(1, std::memory_order_acq_rel) == 1;
    }

   private:
    std::unique_ptr<std::atomic<std::size_t>[]> cuenta_;
    std::vector<bool> vacia_;
};

// The entries' indices folder by folder: the entries of one folder are taken
// one after another, so that each thread opens that folder once for all of
// them rather than again after each subfolder's.
std::vector<std::size_t> por_carpetas(const std::vector<entrada>& entradas) {
    std::vector<std::size_t> orden(entradas.size());
    std::iota(orden.begin(), orden.end(), std::size_t{0});
    std::stable_sort(orden.begin(), orden.end(), [&](std::size_t a, std::size_t b) {
        return entradas[a].padre + 1 < entradas[b].padre + 1;  // the root's (kNinguna) first
    });
    return orden;
}

// One run's schedule over the entries of `obra`, on `hilos` workers.
class reparto {
   public:
    reparto(espejo& obra, unsigned hilos, tiempos_fases* tiempos)
        : obra_(obra),
          entradas_(obra.entradas),
          informes_(entradas_.size()),
          pendientes_(entradas_),
          talleres_(hilos),
          de_cada_hilo_(tiempos != nullptr ? hilos : 0),
          cambia_(new std::atomic<bool>[entradas_.size()]) {
        for (std::size_t i = 0; i < entradas_.size(); ++i) {
            cambia_[i].store(false, std::memory_order_relaxed);
        }
        for (taller& banco : talleres_) {
            banco.origen.reserva = &de_origen_;
            banco.destino.reserva = &de_destino_;
        }
        for (std::size_t h = 0; h < de_cada_hilo_.size(); ++h) {
            talleres_[h].tiempos = &de_cada_hilo_[h];
        }
    }

    // Makes the folders in path order, telling the workers how far it got.
    // Nothing escapes: the folders not made are failures, and so is what they hold.
    void crea_carpetas(tiempos_fases* tiempos) {
        const medida creando(tiempos, fase::carpetas);
        taller creando_en;
        std::size_t i = 0;
        try {
            for (; i < entradas_.size(); ++i) {
                if (entradas_[i].tipo == tipo_entrada::carpeta) {
                    informes_[i] = crea_carpeta(obra_, i, creando_en);
                    hechas_.hasta(i + 1);
                }
            }
        } catch (...) {
            for (; i < entradas_.size(); ++i) {
                if (entradas_[i].tipo == tipo_entrada::carpeta) {
                    informes_[i].resultado = resultado_trabajo::fallido;
                    informes_[i].error = EIO;
                }
            }
        }
        hechas_.hasta(entradas_.size());
    }

    // Every entry's work, each file's first name before any other name.
    void hace_todo() {
        const auto ficheros = static_cast<std::size_t>(
            std::count_if(entradas_.begin(), entradas_.end(),
                          [](const entrada& e) { return e.tipo != tipo_entrada::carpeta; }));
        progreso avance(ficheros, isatty(STDERR_FILENO) != 0);
        const std::vector<std::size_t> orden = por_carpetas(entradas_);
        reparte(orden, avance, [&](std::size_t i) {
            return pendientes_.vacia(i) || (entradas_[i].tipo != tipo_entrada::carpeta &&
                                            entradas_[i].principal == kNinguna);
        });
        reparte(orden, avance, [&](std::size_t i) { return entradas_[i].principal != kNinguna; });
    }

    // With -n, the folders that the removals `borrados` would change.
    void anota_borrados(const std::vector<borrado>& borrados) {
        if (!obra_.opciones.simula || borrados.empty()) {
            return;
        }
        std::unordered_map<std::string_view, std::size_t> por_ruta;
        for (std::size_t i = 0; i < entradas_.size(); ++i) {
            if (entradas_[i].tipo == tipo_entrada::carpeta) {
                por_ruta.emplace(entradas_[i].ruta, i);
            }
        }
        for (const borrado& b : borrados) {
            const std::size_t barra = b.ruta.rfind('/');
            const auto carpeta = barra == std::string::npos
                                     ? por_ruta.end()
                                     : por_ruta.find(std::string_view(b.ruta).substr(0, barra));
            if (carpeta != por_ruta.end()) {
                cambia_[carpeta->second].store(true, std::memory_order_relaxed);
            }
        }
    }

    // The workers' folders closed, their times added to `tiempos`; the report.
    std::vector<informe_trabajo> termina(tiempos_fases* tiempos) {
        talleres_.clear();
        for (const tiempos_fases& del_hilo : de_cada_hilo_) {
            tiempos->suma(del_hilo);
        }
        return std::move(informes_);
    }

   private:
    // Runs hace() on the entries `orden[k]` for which `toca` holds, taken in that order.
    template <typename Toca>
    void reparte(const std::vector<std::size_t>& orden, progreso& avance, Toca toca) {
        reparte_tareas(
            orden.size(), static_cast<unsigned>(talleres_.size()),
            [&](std::size_t k, unsigned hilo) {
                if (toca(orden[k])) {
                    hace(orden[k], talleres_[hilo], avance);
                }
            },
            [&avance](std::size_t) { avance.muestra(); });
    }

    // The work on entry `i`, once the folder it is, or the one it is in, is made.
    void hace(std::size_t i, taller& banco, progreso& avance) {
        const entrada& e = entradas_[i];
        hechas_.espera(e.tipo == tipo_entrada::carpeta ? i : e.padre);
        if (pendientes_.vacia(i)) {
            remata(i, banco);
            return;
        }
        informes_[i] = e.principal == kNinguna
                           ? procesa_entrada(obra_, i, banco)
                           : enlaza_entrada(obra_, i, informes_[e.principal], banco);
        avance.anota(informes_[i].antes);
        anota_cambio(i);
        if (e.padre != kNinguna && pendientes_.una_menos(e.padre)) {
            remata(e.padre, banco);
        }
    }

    // With -n, what the work on entry `i` would change in its folder.
    void anota_cambio(std::size_t i) {
        const std::size_t padre = entradas_[i].padre;
        if (obra_.opciones.simula && padre != kNinguna &&
            cambia_su_carpeta(obra_, i, informes_[i])) {
            cambia_[padre].store(true, std::memory_order_relaxed);
        }
    }

    // The folder `carpeta` has nothing left to do in it: its attributes, then
    // its parent's, if it was the last that parent waited for. The root's are
    // set by the caller.
    void remata(std::size_t carpeta, taller& banco) {
        for (std::size_t i = carpeta; i != kNinguna;) {
            if (informes_[i].resultado == resultado_trabajo::fallido) {
            } else if (obra_.opciones.simula) {
                informes_[i] = remata_sin_escribir(obra_, i, cambia_[i].load());
            } else {
                const medida rematando(banco.tiempos, fase::atributos);
                informes_[i] = remata_carpeta(obra_, i, banco);
            }
            anota_cambio(i);
            i = entradas_[i].padre;
            if (i != kNinguna && !pendientes_.una_menos(i)) {
                return;
            }
        }
    }

    espejo& obra_;
    const std::vector<entrada>& entradas_;
    std::vector<informe_trabajo> informes_;
    carpetas_en_curso hechas_;
    pendientes_por_carpeta pendientes_;
    // Each folder opened once for all the workers in it, held no longer than they are.
    carpetas_compartidas de_origen_;
    carpetas_compartidas de_destino_;
    std::vector<taller> talleres_;
    std::vector<tiempos_fases> de_cada_hilo_;
    // With -n, by folder: something in it would be made, written or removed.
    std::unique_ptr<std::atomic<bool>[]> cambia_;
};

}  // namespace

std::vector<informe_trabajo> refleja(espejo& obra, unsigned hilos_pedidos,
                                     const std::function<const std::vector<borrado>&()>& borra,
                                     tiempos_fases* tiempos) {
    reparto plan(obra, hilos_posibles(hilos_pedidos, descriptores_permitidos()), tiempos);
    // The folders are made on a thread of their own, in path order, while the
    // workers write in those made already; all before, when something is to
    // be removed first.
    const auto crea_carpetas = [&] { plan.crea_carpetas(tiempos); };
    hilo_esperado creador;
    if (borra) {
        crea_carpetas();
        plan.anota_borrados(borra());
    } else {
        try {
            creador.lanza(crea_carpetas);
        } catch (const std::system_error&) {
            crea_carpetas();  // no thread to be had
        }
    }
    plan.hace_todo();
    creador.espera();  // its time counted before the sum is read
    return plan.termina(tiempos);
}

}  // namespace kexo
