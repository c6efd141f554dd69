// A work queue over numbered tasks, shared by a fixed number of threads.
#ifndef KEXO_TREE_COLA_H_
#define KEXO_TREE_COLA_H_

#include <atomic>
#include <cstddef>
#include <functional>

namespace kexo {

// Runs tarea(i, hilo) for every i below `tareas`, on `hilos` threads, each
// task once, in any order; `hilo` numbers the thread, from 0. Calls `informa_avance`
// on the calling thread now and then until all are done, with the number done.
void reparte_tareas(std::size_t tareas, unsigned hilos,
                    const std::function<void(std::size_t tarea, unsigned hilo)>& tarea,
                    const std::function<void(std::size_t hechas)>& informa_avance);

}  // namespace kexo

#endif  // KEXO_TREE_COLA_H_
