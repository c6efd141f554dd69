// Writing to a stream from a thread of its own, a few blocks behind the
// caller: the kernel's copy of the bytes into the file then overlaps the work
// that makes the next ones. It pays on texts of many blocks only, since its
// buffers are fresh memory.
#ifndef KEXO_DRIVER_ESCRITURA_PARALELA_H_
#define KEXO_DRIVER_ESCRITURA_PARALELA_H_

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class escritura_paralela {
   public:
    // Starts the thread that writes to `destino`. Throws std::system_error
    // when no thread can be started, std::bad_alloc when memory runs short.
    explicit escritura_paralela(std::FILE* destino);
    ~escritura_paralela();
    escritura_paralela(const escritura_paralela&) = delete;
    escritura_paralela& operator=(const escritura_paralela&) = delete;

    // Copies `bytes` to be written after those given before.
    void escribe(std::string_view bytes);

    // Writes what is left and ends the thread. Returns true when every write
    // succeeded. Nothing may be given after it.
    bool completa();

   private:
    static constexpr std::size_t kBloques = 3;

    // Hands the block being filled to the thread; waits for a free one.
    void entrega();

    // The thread: writes each block handed, in order, until told to end.
    void escribe_bloques();

    std::FILE* destino_;
    std::string bloques_[kBloques];
    std::size_t llenos_[kBloques] = {};  // bytes of each block to write
    std::size_t lleno_ = 0;              // bytes of the block being filled
    std::mutex mutex_;
    std::condition_variable cambio_;
    // Guarded by mutex_:
    std::size_t entregados_ = 0;  // blocks handed to the thread
    std::size_t escritos_ = 0;    // blocks the thread is done with
    bool termina_ = false;
    bool bien_ = true;  // every write succeeded
    std::thread hilo_;
};

#endif  // KEXO_DRIVER_ESCRITURA_PARALELA_H_
