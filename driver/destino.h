// The destination file: the notice header, then the compacted text, written
// so that a run that fails leaves the previous destination as it was.
#ifndef KEXO_DRIVER_DESTINO_H_
#define KEXO_DRIVER_DESTINO_H_

#include <cstdio>
#include <string>
#include <string_view>

#include "common/archivo.h"
#include "compaction/compacta.h"

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

    std::FILE* flujo() const { return flujo_.get(); }

    // Gives the file, before it takes its place, the permission bits and
    // times that the file open as `original` has then, as a copy does.
    // Called before `abre`, it also saves setting them twice.
    void conserva_atributos_de(std::FILE* original) { original_ = original; }

    // True when standard output writes to this very file, written in place.
    bool comparte_salida_estandar() const;

    // True when what is written shows only once confirmed: a temporary file.
    bool oculto_hasta_confirmar() const { return flujo_ && !en_su_sitio_; }

    // Flushes and closes the file and, when `escrito` says that every write
    // succeeded, puts it in place. Returns true when all of that succeeded;
    // otherwise the temporary file is gone and the previous destination untouched.
    bool confirma(bool escrito);

   private:
    // What each system does its own way.
    // Gives the file the attributes of original_, if any. Returns false on failure.
    bool aplica_atributos();
    // Gives the temporary file a name if it has none yet.
    bool nombra_temporal();
    // Puts the temporary file, closed, in the destination's place.
    bool coloca_temporal();
    // Removes the temporary file, closed, if it has a name.
    void borra_temporal();

    // Opens `ruta` to be written directly. Returns 0, or the error number.
    int abre_directo(const std::string& ruta);
    // Writes through the temporary file open as `fd`. Returns 0, or the error number.
    int adopta_temporal(int fd);

    // Forgets the temporary file's name: it took its place, or is gone.
    void suelta_temporal();

    // Closes and removes the temporary file, if any.
    void descarta();

    archivo flujo_;
    std::FILE* original_ = nullptr;  // whose attributes the file takes, if any
    std::string ruta_;               // the file to replace: the destination, through any links
    std::string temporal_;           // the temporary file's name while it has one
    int ranura_ = -1;                // where that name is recorded for the signal handler
    bool nuevo_ = false;             // the destination did not exist
    bool en_su_nombre_ = false;      // the file took the destination's name
    bool sin_nombre_ = false;        // a temporary file without a name yet (Linux's O_TMPFILE)
    bool en_su_sitio_ = false;       // written directly, not through a temporary file
};

// The most bytes of text that wait in memory for the header.
constexpr std::size_t kEsperaMaxima = std::size_t{1} << 20;

class hilo_ficheros;

// Writes the header for the notice before the first bytes of the text, and
// remembers whether any write failed. Up to `espera_maxima` first bytes wait in
// memory, so that a small text is written, header first, only when complete:
// after the run's lines on standard output, which may be the destination too.
// With `hilo`, the text after the header is written by that thread.
class escritor_destino {
   public:
    escritor_destino(std::FILE* destino, std::string_view scopy,
                     std::size_t espera_maxima = kEsperaMaxima, hilo_ficheros* hilo = nullptr)
        : destino_(destino), scopy_(scopy), espera_maxima_(espera_maxima), hilo_(hilo) {}

    // Writes `bytes` of the text, after the header.
    void escribe(std::string_view bytes);

    // Writes what is still waiting. Returns true when every write succeeded.
    bool completa();

   private:
    void escribe_cabecera_y_espera();

    std::FILE* destino_;
    std::string_view scopy_;
    std::size_t espera_maxima_;
    std::string espera_;  // the first bytes of the text, while the header waits
    hilo_ficheros* hilo_;
    bool cabecera_escrita_ = false;
    bool escrito_ = true;
};

// Writes the end of the text: the bytes of `sresultado` that the emission filter keeps.
void escribe_destino(escritor_destino& escritor, const texto_compactado& sresultado);

}  // namespace kexo

#endif  // KEXO_DRIVER_DESTINO_H_
