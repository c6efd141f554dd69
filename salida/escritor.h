// The destination's text as it is written: the header for the notice first,
// then the compacted text in the pieces the compaction gives.
#ifndef KEXO_SALIDA_ESCRITOR_H_
#define KEXO_SALIDA_ESCRITOR_H_

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "notice/aviso.h"

namespace kexo {

// The most bytes of text held in memory for the header.
constexpr std::size_t kRetencionMaxima = std::size_t{1} << 20;

class hilo_ficheros;

// Writes the header for the notice, placed as `donde` says, before the first
// bytes of the text, and remembers whether any write failed. Up to `retencion_maxima` first bytes
// are held in memory, so that a small text is written, header first, only when complete: after the
// run's lines on standard output, which may be the destination too. With `hilo`, the text after the
// header is written by that thread.
class escritor_destino {
   public:
    escritor_destino(std::FILE* destino, std::string_view scopy, const colocacion_aviso& donde,
                     std::size_t retencion_maxima = kRetencionMaxima, hilo_ficheros* hilo = nullptr)
        : destino_(destino),
          scopy_(scopy),
          donde_(donde),
          retencion_maxima_(retencion_maxima),
          hilo_(hilo),
          por_saltar_(!scopy.empty() && donde.en_apertura ? kBytesApertura : 0) {}

    // Writes `bytes` of the text, after the header.
    void escribe(std::string_view bytes);

    // The error number of the first write that failed on this thread, or 0.
    int error() const { return error_; }

    // Has `vistos` told of every byte the destination is given, in order, as
    // it is written: what a record sums, without reading the file back.
    void muestra_a(std::function<void(std::string_view)> vistos) { vistos_ = std::move(vistos); }

   private:
    friend bool escribe_destino(escritor_destino& escritor);

    void escribe_cabecera_y_retenido();
    // Notes whether a write succeeded, and the error number of the first that did not.
    void anota(bool bien);

    std::FILE* destino_;
    std::string_view scopy_;
    colocacion_aviso donde_;
    std::size_t retencion_maxima_;
    std::string retenido_;  // the first bytes of the text, while the header waits
    hilo_ficheros* hilo_;
    std::function<void(std::string_view)> vistos_;
    std::size_t por_saltar_;  // first bytes of the text still to leave out: its own open tag
    bool cabecera_escrita_ = false;
    bool escrito_ = true;
    int error_ = 0;
};

// Ends the destination's text: the header, if it has not gone out yet, and the
// bytes still held. Returns true when every write succeeded. Nothing may be
// written after it.
bool escribe_destino(escritor_destino& escritor);

}  // namespace kexo

#endif  // KEXO_SALIDA_ESCRITOR_H_
