// An open file descriptor that is closed when it goes out of scope: the one
// place a descriptor is closed, so that no path out of a function, an
// exception included, leaves one open.
#ifndef KEXO_COMMON_DESCRIPTOR_H_
#define KEXO_COMMON_DESCRIPTOR_H_

namespace kexo {

class descriptor {
   public:
    descriptor() = default;
    // Takes `fd` (-1: none) to close.
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() { cierra(); }
    descriptor(descriptor&& otro) noexcept : fd_(otro.suelta()) {}
    descriptor& operator=(descriptor&& otro) noexcept {
        if (this != &otro) {
            cierra();
            fd_ = otro.suelta();
        }
        return *this;
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;

    int fd() const { return fd_; }
    bool abierto() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it from then on.
    int suelta() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes it, if open, keeping errno as it was: a failed call's error
    // is still the one to report after its descriptor is closed.
    void cierra();

   private:
    int fd_ = -1;
};

}  // namespace kexo

#endif  // KEXO_COMMON_DESCRIPTOR_H_
