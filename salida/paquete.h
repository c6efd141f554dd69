// An archive written entry by entry, in the order it is given them: a PHAR,
// a zip or a tar (gzipped as a whole or not). What goes in is prepared on
// any thread; one thread appends it, so that the bytes depend on nothing but
// the entries.
#ifndef KEXO_SALIDA_PAQUETE_H_
#define KEXO_SALIDA_PAQUETE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kexo {

enum class formato_paquete : unsigned char {
    carpeta,  // no archive: a folder
    phar,
    zip,
    tar,
    tgz,  // a tar, gzipped as a whole
};

// The format the destination's name chooses: `.phar`, `.zip`, `.tar`,
// `.tar.gz` or `.tgz` (in any letter case); else a folder.
formato_paquete formato_por_nombre(std::string_view ruta);

// The format `--formato` names (carpeta, phar, zip, tar, tgz). Returns
// false for another name.
bool formato_por_opcion(std::string_view nombre, formato_paquete& formato);

enum class clase_pieza_paquete : unsigned char {
    fichero,
    carpeta,
    enlace,       // a symbolic link: `objetivo` is its target
    enlace_duro,  // another name of a file added before: `objetivo` is that file's path
};

// One entry of an archive.
struct pieza_paquete {
    std::string ruta;  // its path inside the archive: `/` between names, none at either end
    clase_pieza_paquete clase = clase_pieza_paquete::fichero;
    std::uint32_t modo = 0644;  // permission bits (07777), setuid and setgid already cleared
    std::int64_t tiempo = 0;    // its modification time, in seconds since the epoch
    std::string objetivo;       // enlace and enlace_duro only
};

// A file's bytes as the archive stores them, prepared on any thread.
struct datos_pieza {
    std::string guardados;     // the bytes stored: compressed when `comprimidos`
    std::uint64_t tamano = 0;  // the file's own size
    std::uint32_t crc = 0;     // CRC-32 of the file's own bytes
    bool comprimidos = false;
};

// `bytes` with their CRC-32, raw-deflated when `comprime`; stored as they are
// where zlib fails, and with `solo_si_menor` where deflate does not make them
// smaller.
datos_pieza prepara_datos(std::string bytes, bool comprime, bool solo_si_menor);

// Where an archive's bytes go: appended, and read or written again where the
// format needs to go back. Every call returns 0 or the system's error number.
class sumidero {
   public:
    virtual ~sumidero() = default;
    virtual int escribe(std::string_view bytes) = 0;
    // Writes `bytes` over those already written at `posicion`.
    virtual int escribe_en(std::uint64_t posicion, std::string_view bytes) = 0;
    // Reads back `n` bytes written at `posicion` into `donde`.
    virtual int lee_en(std::uint64_t posicion, char* donde, std::size_t n) = 0;
    // The bytes written so far.
    virtual std::uint64_t tamano() const = 0;
    // Appends the `n` bytes `origen` holds at `posicion`. `origen` is only
    // read: another thread may read it meanwhile, once it was emptied
    // (vacia). This one reads them back and writes them, a piece at a time.
    virtual int anade_de(sumidero& origen, std::uint64_t posicion, std::uint64_t n);
    // Puts what waits in a buffer where it goes, so that reading the bytes
    // writes nothing. Returns 0, or the error number.
    virtual int vacia() { return 0; }
    // Reads back the `n` bytes written at `posicion`, giving them to `toma`
    // a piece of at most 1 MiB at a time. Returns the first error, its own
    // or `toma`'s.
    int lee_a_trozos(std::uint64_t posicion, std::uint64_t n,
                     const std::function<int(std::string_view)>& toma);
};

// A sumidero in memory, for tests and small archives.
class sumidero_memoria final : public sumidero {
   public:
    int escribe(std::string_view bytes) override;
    int escribe_en(std::uint64_t posicion, std::string_view bytes) override;
    int lee_en(std::uint64_t posicion, char* donde, std::size_t n) override;
    std::uint64_t tamano() const override { return bytes_.size(); }
    const std::string& bytes() const { return bytes_; }

   private:
    std::string bytes_;
};

// A file's bytes given block by block: each call puts the next block in
// `bloque` and returns 0, an empty block at the end; or returns an error number.
using lector_bloques = std::function<int(std::string& bloque)>;

enum class firma_phar : unsigned char { sha256, sha512 };

// How an archive is written.
struct opciones_paquete {
    formato_paquete formato = formato_paquete::tar;
    // zip: deflate each file (the default); phar: gz each file (--comprime=gz).
    bool comprime = false;
    // PHAR only.
    std::string stub;   // the whole stub, ending in __HALT_COMPILER(); (see phar.h)
    std::string alias;  // the archive's alias
    firma_phar firma = firma_phar::sha256;
};

// Writes one archive. Calls come from one thread, in the order the entries
// go in; `prepara` alone may run on any thread, at once.
class escritor_paquete {
   public:
    virtual ~escritor_paquete() = default;

    // A file's bytes as this format stores them: CRC-32, and compressed where it
    // compresses each file. Pure: safe on any thread.
    virtual datos_pieza prepara(std::string bytes) const = 0;

    // Adds the file `que` with its prepared bytes.
    virtual int anade(const pieza_paquete& que, const datos_pieza& datos) = 0;

    // Adds a file whose bytes come from `lee`, block by block, too many to be
    // held whole.
    virtual int anade_flujo(const pieza_paquete& que, const lector_bloques& lee) = 0;

    // Adds a folder, a link or another name of a file already added. A format
    // without links stores another name as a copy of that file's bytes.
    virtual int anade(const pieza_paquete& que) = 0;

    // Writes what ends the archive. Nothing is added after it.
    virtual int termina() = 0;
};

// The writer of `como.formato` (not carpeta), writing to `salida`. `aparte`
// holds what the format cannot put in its place yet (a PHAR's files, until
// its manifest is known), and may be used for nothing else meanwhile.
std::unique_ptr<escritor_paquete> crea_escritor(const opciones_paquete& como, sumidero& salida,
                                                sumidero& aparte);

}  // namespace kexo

#endif  // KEXO_SALIDA_PAQUETE_H_
