// The work on one entry of the tree: a PHP file compacted (or left as it is
// when the compaction would change its program, or when it is too large to
// check), another file copied, a link recreated, a folder made, another name
// of a file linked to its first. Each source entry is opened as what the walk
// saw, each destination entry beneath the destination's root through no link;
// files are written whole or not at all.
#ifndef KEXO_TREE_TRABAJO_H_
#define KEXO_TREE_TRABAJO_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/carpeta.h"
#include "common/cronometro.h"
#include "compaction/vias.h"
#include "lexical/lexico_php.h"
#include "notice/aviso.h"
#include "tree/recorrido.h"

namespace kexo {

// PHP files up to this size are read whole, to be compacted and checked; a
// larger one is copied as it is, or without the check compacted as it is
// read, so that memory does not grow with a file.
inline constexpr std::int64_t kMaximoComprobado = std::int64_t{32} << 20;

// Which rules compact PHP files.
enum class modo_reglas : unsigned char {
    kexo,  // kexo's bytes where they keep what a program sees; PHP's rules elsewhere
    php,   // PHP's rules everywhere: every token stays on its line
};

struct opciones_trabajo {
    std::string scopy;      // the notice, put before compacted code
    bool comprueba = true;  // compact only what keeps its program
    bool simula = false;    // write nothing
    modo_reglas modo = modo_reglas::php;
    std::uint64_t clave = 0;  // what the options that change output come to (estado.h)
    bool suma = false;        // compare the source's content even when its size and time agree
    // The way of scanning.
    via_escaneo via = via_de_este_procesador();
};

enum class resultado_trabajo : unsigned char {
    compactado,        // kexo's bytes
    compactado_php,    // by PHP's rules
    sin_compactar,     // the source's bytes: the compaction changes its program
    demasiado_grande,  // the source's bytes: too large to be checked
    copiado,
    hecho,  // a folder or link
    fallido,
    cambiado,     // no longer what the walk saw: left out
    sin_memoria,  // memory ran out on it: left out
    omitido,      // not a regular file, folder or link
    al_dia,       // already what this run would write: left alone
    // Left out of an archive that cannot hold it: a link, in a format
    // without links, to nothing, out of the source, to a folder (`error`
    // says which: ENOENT, EXDEV, EISDIR, ELOOP); a name or size the format
    // refuses (EINVAL, EEXIST, ENAMETOOLONG, EFBIG).
    fuera_del_paquete,
};

// True for the results that leave a file written in the destination, which
// a record names and the other names of a hard link link to.
bool es_fichero_escrito(resultado_trabajo resultado);

// One is kept for every entry until the report: the small members together
// at the end, so that no padding lies between them.
struct informe_trabajo {
    std::uint64_t antes = 0;    // the bytes of the source
    std::uint64_t despues = 0;  // the bytes written
    std::int64_t linea = 0;     // sin_compactar: where the program would change
    int error = 0;              // fallido: the system's error number
    resultado_trabajo resultado = resultado_trabajo::hecho;
    motivo_diferencia motivo = motivo_diferencia::ninguno;  // sin_compactar: what would change
    bool al_leer = false;                                   // fallido: on reading, not writing
    // al_dia: what the file left alone was written as (and `motivo`, `linea`).
    resultado_trabajo previo = resultado_trabajo::hecho;
};

// A report that says only `resultado`.
informe_trabajo informe_de(resultado_trabajo resultado);

// A failure with the system's error number `error` (EIO when none), on
// reading the source or on writing.
informe_trabajo informe_fallido(int error, bool al_leer);

// What the work on every entry shares: both trees' roots, open, and what the
// walk found.
struct espejo {
    // `raiz_origen`: what the source's root is, which no destination folder may be.
    espejo(const carpeta& origen, const carpeta& destino, const std::vector<entrada>& entradas,
           const opciones_trabajo& opciones, const nodo& raiz_origen);

    const carpeta& origen;
    const carpeta& destino;  // not open when nothing is written
    const std::vector<entrada>& entradas;
    const opciones_trabajo& opciones;
    bool hay_destino = true;     // the destination exists (a dry run may have none to look at)
    bool destino_nuevo = false;  // made by this run: nothing in it from before to look at
    // The destination folder made for the folder entry `i`, and whether it
    // was there before this run: kept for folders only, not for every entry.
    nodo& hecha(std::size_t i) { return hechas[de_carpeta(i)]; }
    const nodo& hecha(std::size_t i) const { return hechas[de_carpeta(i)]; }
    char& ya_estaba(std::size_t i) { return ya_estaban[de_carpeta(i)]; }
    char ya_estaba(std::size_t i) const { return ya_estaban[de_carpeta(i)]; }
    // Nothing to note of folders made (an archive makes none).
    void sin_carpetas_hechas();
    // Device and number of every source folder, sorted.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> carpetas_origen;

   private:
    // The place of the folder entry `i` among the folders.
    std::size_t de_carpeta(std::size_t i) const;

    std::vector<std::size_t> carpetas_;  // the folders' entries, in order
    std::vector<nodo> hechas;            // by folder, as carpetas_
    std::vector<char> ya_estaban;        // by folder, as carpetas_
};

// The folders of one tree that workers hold open, by entry, each opened once
// however many workers use it: a folder stays open while one holds it, so
// there are never more open than workers.
class carpetas_compartidas {
   public:
    // The folder of entry `indice`, when a worker holds it open.
    std::shared_ptr<const carpeta> busca(std::size_t indice);
    // Shares `abierta`, just opened as the folder of entry `indice`, unless
    // another worker has meanwhile: then that one, and `abierta` is closed.
    std::shared_ptr<const carpeta> comparte(std::size_t indice, carpeta abierta);
    // Lets go of `uso`, a worker's hold on the folder of entry `indice`:
    // closed when no other worker holds it.
    void suelta(std::size_t indice, std::shared_ptr<const carpeta>& uso);

   private:
    std::mutex cerrojo_;
    std::unordered_map<std::size_t, std::weak_ptr<const carpeta>> abiertas_;
};

// A folder kept open from one entry to the next: its own, or one shared
// with the other workers through `reserva`, when there is one.
struct carpeta_en_uso {
    carpeta abierta;
    std::shared_ptr<const carpeta> compartida;
    carpetas_compartidas* reserva = nullptr;
    std::size_t indice = kNinguna;
    bool valida = false;
};

// What a worker reuses from one entry to the next.
struct taller {
    std::string fuente;  // a PHP source, read whole
    std::string bloque;  // room for a copy that goes through memory
    carpeta_en_uso origen;
    carpeta_en_uso destino;
    tiempos_fases* tiempos = nullptr;  // where its time goes, when measured
};

// The source folder of the entry `indice` (kNinguna: the root), still the
// one the walk saw, kept open in `uso` from one entry to the next; null, with
// the error number in `error`, when it cannot be opened.
const carpeta* carpeta_origen(const espejo& obra, std::size_t indice, carpeta_en_uso& uso,
                              int& error);

// What is written for a PHP file: its text after the header for `aviso`,
// placed as `donde` says.
struct escrito_php {
    resultado_trabajo resultado;
    std::string texto;
    std::string_view aviso;
    colocacion_aviso donde;
    comparacion mismo{true, 0};
};

// What to write for the PHP file `fuente`: kexo's bytes where they keep what
// a program sees, else (or in PHP's mode) PHP's rules where those do, else the
// source as it is, with why kexo's bytes could not be written.
escrito_php que_escribir(std::string_view fuente, const opciones_trabajo& opciones,
                         tiempos_fases* tiempos);

// Makes the destination folder for the folder `i`, replacing a link or file
// there, and removes what killed runs left in one that was there. Called on
// one thread, in path order, before the other work; `banco`, the same from
// one folder to the next, keeps the folder last made open for those it holds.
informe_trabajo crea_carpeta(espejo& obra, std::size_t i, taller& banco);
informe_trabajo crea_carpeta(espejo& obra, std::size_t i);

// Does the work on the entry `i`, not a folder. Never throws: memory that
// runs out is reported for the entry.
informe_trabajo procesa_entrada(const espejo& obra, std::size_t i, taller& banco);

// The entry `i`, another name of a file whose first name's work came to
// `del_principal`: linked to it in the destination, as with `cp -a`, or done
// on its own when it cannot be. Never throws.
informe_trabajo enlaza_entrada(const espejo& obra, std::size_t i,
                               const informe_trabajo& del_principal, taller& banco);

// Gives the destination folder for the folder `i` the owner, permission bits
// and times of the source one, once all it holds is written: only where they
// differ, so that a folder already as it should be is left alone (al_dia).
// `banco`, a worker's, may hold the folder open already, from the last entry
// written in it. Never throws.
informe_trabajo remata_carpeta(const espejo& obra, std::size_t i, taller& banco);

// What a run that writes would report for the folder `i` that a run with -n
// only looked at: up to date when it was there with the source's attributes
// and nothing in it would be made, written or removed (`cambia`), as the
// folder's time would then tell.
informe_trabajo remata_sin_escribir(const espejo& obra, std::size_t i, bool cambia);

// True when the work on a folder's entry, reported as `informe`, changes
// that folder in a run that writes: a name made, replaced or renamed in it.
bool cambia_su_carpeta(const espejo& obra, std::size_t i, const informe_trabajo& informe);

// An entry removed from the destination, by its path, or the error number
// that kept it there.
struct borrado {
    std::string ruta;
    int error = 0;
};

// Removes from each destination folder made (the root included) every entry
// whose source folder no longer has it, and what it holds: never following a
// link, never leaving the destination. An entry that `que` leaves out (an
// exclude, or with `solo_php` a file that is not PHP) stays unless
// `con_excluidos`; so do the temporary files of runs. With a dry run, only
// says what it would remove. Called on one thread, before the files are written.
std::vector<borrado> borra_sobrantes(const espejo& obra, filtro& que, bool con_excluidos);

}  // namespace kexo

#endif  // KEXO_TREE_TRABAJO_H_
