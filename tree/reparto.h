// The run's schedule: which thread does which entry, and when. Folders are
// made first, in path order, on a thread of their own; files are shared out
// among the workers folder by folder; a folder's attributes are set by the
// worker that finishes the last entry it holds.
#ifndef KEXO_TREE_REPARTO_H_
#define KEXO_TREE_REPARTO_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/cronometro.h"
#include "tree/trabajo.h"

namespace kexo {

// Runs tarea(i, hilo) for every i below `tareas`, on `hilos` threads, each
// task once, in any order; `hilo` numbers the thread, from 0. Calls `informa_avance`
// on the calling thread now and then until all are done, with the number done.
void reparte_tareas(std::size_t tareas, unsigned hilos,
                    const std::function<void(std::size_t tarea, unsigned hilo)>& tarea,
                    const std::function<void(std::size_t hechas)>& informa_avance);

// The threads that `permitidos` open descriptors allow, at most `pedidos`:
// each holds a few open at once.
unsigned hilos_posibles(unsigned pedidos, std::uint64_t permitidos);

// Does the work on every entry of `obra` on up to `hilos_pedidos` threads:
// folders first, in path order, so that each exists before what it holds;
// each file once, then its other names, linked to it; a folder's attributes
// last, since writing in it changes its times: by the worker that finishes
// the last entry it holds, its subfolders included. With `borra` (not empty),
// which returns what it removed (or with -n would remove),
// what the source no longer has is removed once the folders are made, before
// anything is written. With `tiempos`, adds there where each thread's time
// went. Returns what was done with each entry, in the entries' order.
std::vector<informe_trabajo> refleja(espejo& obra, unsigned hilos_pedidos,
                                     const std::function<const std::vector<borrado>&()>& borra,
                                     tiempos_fases* tiempos);

}  // namespace kexo

#endif  // KEXO_TREE_REPARTO_H_
