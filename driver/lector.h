// Reading the source in blocks. A large source is read a block ahead on a
// second thread, so that reading it overlaps with compacting and writing it.
#ifndef KEXO_DRIVER_LECTOR_H_
#define KEXO_DRIVER_LECTOR_H_

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class lector {
   public:
    // Reads `origen` in blocks of `bloque` bytes, ahead on a thread if `adelanta`.
    lector(std::FILE* origen, std::size_t bloque, bool adelanta);
    ~lector();
    lector(const lector&) = delete;
    lector& operator=(const lector&) = delete;

    // The next block of the source, valid until the next call; empty at the
    // end of the source or after a failed read.
    std::string_view siguiente();

    // 0, or the error number of the read that failed.
    int error();

   private:
    // Reads block i. Returns false when no block follows it.
    bool lee(int i);
    // The second thread: reads each block as soon as it is free.
    void adelanta();

    std::FILE* origen_;
    std::string bloques_[2];
    std::size_t llenos_[2] = {0, 0};
    bool listos_[2] = {false, false};  // read and not yet handed out
    int en_uso_ = -1;                  // the block handed out last
    int turno_ = 0;                    // the block to hand out next
    bool terminado_ = false;           // no block is read any more
    bool cancelado_ = false;           // the reader is told to stop
    int error_ = 0;
    std::mutex cerrojo_;
    std::condition_variable cambio_;
    std::thread hilo_;
};

#endif  // KEXO_DRIVER_LECTOR_H_
