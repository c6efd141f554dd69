// What kexo-arbol tells: progress while it works, on standard error when that
// is a terminal, and the report with its summary at the end.
#ifndef KEXO_TREE_INFORME_H_
#define KEXO_TREE_INFORME_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/cronometro.h"
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

// How the report is written.
struct opciones_informe {
    bool json = false;      // JSON Lines, for machines, instead of lines for people
    bool estricto = false;  // a PHP file left as it was is an error (exit status 3)
    // People's report: first a line for every entry changed (1), or for every entry (2),
    // with what was done.
    unsigned detalla = 0;
};

// The archive a run wrote, for the report's end.
struct paquete_informado {
    std::string ruta;
    std::uint64_t bytes = 0;
    bool escrito = false;  // false with -n, or when writing failed
    int error = 0;         // writing failed with it
};

// The exit statuses of a run that went as far as the report.
inline constexpr int kTodoHecho = 0;
inline constexpr int kAlgunFallo = 2;
inline constexpr int kSinCompactarEstricto = 3;

// Prints the report, in path order (the entries removed among them), and the summary. Returns the
// exit status: kAlgunFallo when anything failed (writing `paquete` included), else
// kSinCompactarEstricto when `como` is strict and a PHP file was left as it was, else kTodoHecho.
int informa(const std::vector<entrada>& entradas, const std::vector<informe_trabajo>& informes,
            const std::vector<fallo_recorrido>& fallos_recorrido,
            const std::vector<borrado>& borrados, const opciones_informe& como,
            const paquete_informado* paquete = nullptr);

// Prints where a run's time went: the wall time `total`, the threads, and
// for each phase the time all threads spent on it and its share of the time
// measured; one JSON object on one line when `json`.
void informa_tiempos(const tiempos_fases& tiempos, std::chrono::steady_clock::duration total,
                     unsigned hilos, bool json);

// `texto` as a JSON string, quotes included. Bytes that are not UTF-8 make
// it an object instead, {"bytes":"..."} with them in base64, as paths on disk
// need not be text.
std::string cadena_json(std::string_view texto);

// `ruta` as the report for people writes it, one line whatever its bytes:
// each control byte, and a `\` before `#`, as `\#` and three octal digits,
// as `rsync` writes names. Other bytes stay as they are.
std::string ruta_legible(std::string_view ruta);

// The line that lists `que` in a detailed report (without a line end): two
// letters, what was done and what kind of entry it is, then its path, as
// `rsync -i` does. What was done: `k` compacted by kexo's rules, `p` by PHP's,
// `=` left as it was, `c` copied, `+` made (a folder or link), `!` failed,
// `~` changed while the run went on, `-` left out. Kind: `f` a file, `d` a
// folder, `L` a link, `S` a special file.
std::string linea_detalle(const entrada& que, const informe_trabajo& informe);

// The report's JSON object for `que` (without a line end).
std::string objeto_json(const entrada& que, const informe_trabajo& informe);

}  // namespace kexo

#endif  // KEXO_TREE_INFORME_H_
