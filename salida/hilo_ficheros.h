// A thread of its own for the files: it reads the source a few blocks ahead
// of the scan and writes the text a few blocks behind it, so that the kernel's
// copies overlap the scan. It pays on long sources only, since its buffers
// are fresh memory.
#ifndef KEXO_SALIDA_HILO_FICHEROS_H_
#define KEXO_SALIDA_HILO_FICHEROS_H_

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "salida/lectura.h"

namespace kexo {

class hilo_ficheros {
   public:
    // Starts the thread that reads `origen` and writes to `destino`; null
    // when no thread can be started. Throws std::bad_alloc when memory runs short.
    static std::unique_ptr<hilo_ficheros> arranca(std::FILE* origen, std::FILE* destino);

    hilo_ficheros(std::FILE* origen, std::FILE* destino);
    ~hilo_ficheros();
    hilo_ficheros(const hilo_ficheros&) = delete;
    hilo_ficheros& operator=(const hilo_ficheros&) = delete;

    // The source's next block: empty at its end, or after a failed read.
    // Valid until the next call.
    std::string_view lee();

    // What was read: its bytes, and the error number of a failed read. Known
    // once `lee` has given an empty block.
    lectura leida() const { return leida_; }

    // Copies `bytes` to be written after those given before.
    void escribe(std::string_view bytes);

    // Writes what is left and ends the thread. Returns true when every write
    // succeeded. Nothing may be read or written after it.
    bool completa();

   private:
    static constexpr std::size_t kEnVuelo = 3;  // blocks read ahead, and blocks to write

    // Hands the block being filled to the thread; waits for a free one.
    void entrega();

    // The thread: writes each block handed, in order, and reads ahead while
    // a block is free, until told to end.
    void atiende();
    bool hay_escritura() const { return entregados_ > escritos_; }
    bool hay_lectura() const {
        return !fin_lectura_ && !termina_ && leidos_ - devueltos_ < kEnVuelo;
    }

    std::FILE* origen_;
    std::FILE* destino_;
    std::string lecturas_[kEnVuelo];
    std::string escrituras_[kEnVuelo];
    std::size_t llenos_[kEnVuelo] = {};      // bytes of each block read
    std::size_t a_escribir_[kEnVuelo] = {};  // bytes of each block to write
    std::size_t lleno_ = 0;                  // bytes of the block being filled
    std::mutex mutex_;
    std::condition_variable cambio_;
    // Guarded by mutex_:
    std::size_t leidos_ = 0;     // blocks read
    std::size_t tomados_ = 0;    // blocks given to the scan
    std::size_t devueltos_ = 0;  // blocks the scan is done with
    bool fin_lectura_ = false;   // the end of the source, or a failed read
    lectura leida_{0, 0};
    std::size_t entregados_ = 0;  // blocks handed to be written
    std::size_t escritos_ = 0;    // blocks written
    bool bien_ = true;            // every write succeeded
    bool termina_ = false;
    std::thread hilo_;
};

}  // namespace kexo

#endif  // KEXO_SALIDA_HILO_FICHEROS_H_
