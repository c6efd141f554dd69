
namespace kexo {
// The temporary files that exist, by name, so that a signal can remove them
// all before it ends the process, whichever threads made them. Every call is
// safe in a signal handler and from any thread.
#ifndef KEXO_DRIVER_TEMPORALES_H_
#define KEXO_DRIVER_TEMPORALES_H_

// Records the file `nombre`, whose text must live until it is forgotten.
// Returns its slot, or -1 when every slot is taken (it then goes unrecorded).
int registra_temporal(const char* nombre);

// Forgets the file in `ranura`; -1 is no slot.
void olvida_temporal(int ranura);

// Calls `borra` with the name of every file recorded.
void borra_temporales(void (*borra)(const char* nombre));

}  // namespace kexo

#endif  // KEXO_DRIVER_TEMPORALES_H_
