// The destination file: the notice header, then the compacted text.
#ifndef KEXO_DRIVER_DESTINO_H_
#define KEXO_DRIVER_DESTINO_H_

#include <string_view>

#include "common/archivo.h"
#include "compaction/compacta.h"

// Writes the destination: the header for the notice before the first bytes of
// the text, and remembers whether any write failed.
class escritor_destino {
   public:
    escritor_destino(std::FILE* destino, std::string_view scopy)
        : destino_(destino), scopy_(scopy) {}

    // Writes `bytes` of the text, after the header if it is still to be written.
    void escribe(std::string_view bytes);

    // Writes the header if nothing was written yet. Returns true when every
    // write succeeded.
    bool completa();

   private:
    void escribe_cabecera_si_falta();

    std::FILE* destino_;
    std::string_view scopy_;
    bool cabecera_escrita_ = false;
    bool escrito_ = true;
};

// Writes the end of the text: the bytes of `sresultado` that the emission filter keeps.
void escribe_destino(escritor_destino& escritor, const texto_compactado& sresultado);

// Flushes and closes `destino`. Returns the exit status: 0 when every write,
// the flush and the close succeeded, -1 otherwise.
int cierra_destino(archivo destino, bool escrito);

#endif  // KEXO_DRIVER_DESTINO_H_
