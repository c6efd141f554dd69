// The destination file, written so that a run that fails leaves the previous
// destination as it was: a temporary file in the destination's folder takes
// its place only once complete.
#ifndef KEXO_SALIDA_DESTINO_H_
#define KEXO_SALIDA_DESTINO_H_

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "common/archivo.h"
#include "common/cronometro.h"
#include "salida/destino_sistema.h"
#include "salida/temporales.h"

namespace kexo {

// Where the compacted text goes. A regular file, new or not, is written as a
// temporary file in its folder, which takes its place only once complete; a
// symbolic link has its target replaced. Devices, FIFOs and terminals are
// written directly, and so is an existing file in a folder where no temporary
// file can be made.
class destino {
   public:
    destino() = default;
    ~destino();
    destino(const destino&) = delete;
    destino& operator=(const destino&) = delete;

    // Opens the destination `ruta`. Returns 0, or the error number of opening
    // it for writing. A file that may not be written is refused here.
    int abre(const std::string& ruta);

    // Opens the destination `nombre` in the folder `en`, borrowed while
    // this file is open. Whatever entry has that name (a file, even a
    // read-only one, a link, a FIFO) is replaced once the file is complete:
    // never written through, nor written in place. Returns 0, or the error
    // number (a folder there is refused when the file takes its place).
    int abre_en(const carpeta& en, const std::string& nombre);

    // Called before `abre_en`: no entry can have the name yet (its folder
    // is new), so it is not looked up. Should one be there all the same, it
    // is replaced as any other.
    void sin_previo() { sin_previo_ = true; }

    std::FILE* flujo() const { return flujo_.get(); }

    // Gives the file, before it takes its place, the owner, permission bits
    // and times that the file open as `original` has then, as a copy does;
    // or, given `vistos`, those it was seen with last (once read whole).
    // Called before `abre`, it also saves setting them twice.
    void conserva_atributos_de(std::FILE* original, const atributos_origen* vistos = nullptr) {
        original_ = original;
        con_vistos_ = vistos != nullptr;
        if (con_vistos_) {
            vistos_ = *vistos;
        }
    }

    // Has `paso` done on the file, open as its descriptor, once complete with
    // its attributes and before it takes its place: what it adds is there
    // the moment the file is. Not done on a file written in place. Its
    // second argument is what the file is then, when setting its attributes
    // has told it; else null.
    void antes_de_colocar(std::function<void(int, const nodo*)> paso) {
        antes_de_colocar_ = std::move(paso);
    }

    // True when standard output writes to this very file, written in place.
    bool comparte_salida_estandar() const;

    // True when what is written shows only once confirmed: a temporary file.
    bool oculto_hasta_confirmar() const { return flujo_ && !en_su_sitio_; }

    // Flushes and closes the file and, when `escrito` says that every write
    // succeeded, puts it in place. Returns 0 when all of that succeeded;
    // otherwise the error number of the step that failed (EIO for a write
    // that failed, the writer's to tell), the temporary file gone and the
    // previous destination untouched.
    int confirma(bool escrito);

    // Adds the time that confirma spends on writing, attributes and naming
    // to `tiempos`, when not null.
    void mide_en(tiempos_fases* tiempos) { tiempos_ = tiempos; }

   private:
    // Opens `ruta` to be written directly. Returns 0, or the error number.
    int abre_directo(const std::string& ruta);
    // Makes the temporary file in carpeta_ into `fd`. Returns 0, or the error number.
    int crea_temporal(descriptor& fd);
    // Writes through the temporary file open as `fd`. Returns 0, or the error number.
    int adopta_temporal(descriptor fd);
    // Gives the unnamed temporary file a name, the destination's own when it
    // is new. Returns 0, or the error number.
    int nombra_temporal();
    // Puts the temporary file, closed, in the destination's place. Returns 0,
    // or the error number.
    int coloca_temporal();
    // Closes the file, after a step that ended with `error`. Returns `error`,
    // else the error number of closing it.
    int cierra_flujo(int error);
    // Closes and removes the temporary file, if any.
    void descarta();

    archivo flujo_;
    std::FILE* original_ = nullptr;  // whose attributes the file takes, if any
    atributos_origen vistos_;        // what it was seen with, when con_vistos_
    bool con_vistos_ = false;
    std::function<void(int, const nodo*)> antes_de_colocar_;
    tiempos_fases* tiempos_ = nullptr;
    carpeta propia_;                     // the destination's folder, opened by `abre`
    const carpeta* carpeta_ = &propia_;  // the folder a temporary file is made in
    std::string nombre_;                 // the destination's name in that folder
    temporal temporal_;                  // the temporary file's name, while it has one
    bool nuevo_ = false;                 // the destination did not exist
    bool en_su_nombre_ = false;          // the file took the destination's name
    bool sin_nombre_ = false;            // a temporary file without a name yet (Linux's O_TMPFILE)
    bool en_su_sitio_ = false;           // written directly, not through a temporary file
    bool sin_previo_ = false;            // the name known to be free, not looked up
};

// Makes `nombre` in `en` a link to `objetivo`, with the owner and times
// of the link `original` in `origen`. The link is made under a temporary name
// first, then takes the place of whatever entry but a folder has that name.
// Returns 0, or the error number.
int coloca_enlace(const carpeta& en, const std::string& nombre, const std::string& objetivo,
                  const carpeta& origen, const std::string& original);

// Makes `nombre` in `a` another name of the file `original` in `de` (a hard
// link), made under a temporary name first, then put in place of whatever
// entry but a folder has that name. Returns 0, or the error number.
int coloca_enlace_duro(const carpeta& de, const std::string& original, const carpeta& a,
                       const std::string& nombre);

// Removes from the folder `c` what a killed run of kexo or kexo-arbol left
// there: files and links named as this program names its temporary files,
// whose process no longer exists, and that `del_origen`, when given, does not
// name as the source's own (a source file may be named so too).
void borra_temporales_abandonados(
    const carpeta& c, const std::function<bool(const std::string& nombre)>& del_origen = nullptr);

// True when `nombre` is named as this program names its temporary files, by
// a process that still runs: one to be left alone, another run's work.
bool es_temporal_en_curso(const std::string& nombre);

}  // namespace kexo

#endif  // KEXO_SALIDA_DESTINO_H_
