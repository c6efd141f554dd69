// The temporary files that exist, by name, so that a signal can remove them
// all before it ends the process, whichever threads made them. Recording,
// forgetting and the removal are safe in a signal handler and from any thread.
#ifndef KEXO_SALIDA_TEMPORALES_H_
#define KEXO_SALIDA_TEMPORALES_H_

#include <string>

namespace kexo {

// The prefix of every temporary name, which the process number and a count follow.
inline constexpr const char* kPrefijoTemporal = ".kexo-";

// A temporary file's name, recorded from before the file exists until it is
// forgotten: in the folder open as `carpeta` where the system works relative
// to folders, or a whole path (carpeta -1) where it does not.
class temporal {
   public:
    temporal() = default;
    ~temporal() { olvida(); }
    temporal(const temporal&) = delete;
    temporal& operator=(const temporal&) = delete;

    // Takes a name no other live process or thread uses, `prefijo` followed by
    // ".kexo-PID-N", and records it in `carpeta`. Returns false when every
    // slot is taken: the name then goes unrecorded, and is not to be used.
    bool nombra(int carpeta, const std::string& prefijo);

    // Forgets the name: the file took its place, or is gone.
    void olvida();

    bool vacio() const { return nombre_.empty(); }
    int carpeta() const { return registro_.carpeta; }
    const char* nombre() const { return nombre_.c_str(); }

    struct registro {
        int carpeta = -1;
        const char* nombre = nullptr;
    };

   private:
    std::string nombre_;
    registro registro_;
    int ranura_ = -1;
};

// Calls `borra` with every temporary file recorded. The process is ending:
// from then on `cierre_en_curso` answers true.
void borra_temporales(void (*borra)(int carpeta, const char* nombre));

// Asked once the file a recorded name names exists: true when a removal began
// meanwhile, which may have looked before the file existed, so that its maker
// is to remove it. A removal that began after this answered false finds the
// name recorded.
bool cierre_en_curso();

}  // namespace kexo

#endif  // KEXO_SALIDA_TEMPORALES_H_
