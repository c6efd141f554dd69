// The PHAR writer. The manifest, which goes first, needs every entry's sizes:
// the files' bytes wait in `aparte` until termina() writes the stub, the
// manifest, those bytes and the signature, one after another.
#include "salida/phar.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/hilo_esperado.h"
#include "common/resumen.h"
#include "salida/deflate.h"
#include "salida/nombres.h"

namespace kexo {

namespace {

constexpr std::string_view kAlto = "__HALT_COMPILER();";
// The flags of the whole archive: signed; and, as PHP sets it, whether some
// entry is gz-compressed. PHP's reader recomputes the latter.
constexpr std::uint32_t kFirmado = 0x00010000;
// An entry's flags: its permission bits, and whether it is gz-compressed
// (raw deflate, as PHP's zlib.inflate filter reads it).
constexpr std::uint32_t kPermisos = 0777;
constexpr std::uint32_t kGz = 0x00001000;
// The signature's kind after its digest.
constexpr std::uint32_t kFirmaSha256 = 0x0003;
constexpr std::uint32_t kFirmaSha512 = 0x0004;
// The API version: 1.1.0, or 1.1.1, which PHP's reader needs to read an
// entry whose name ends in `/` as a folder.
constexpr unsigned char kVersion[] = {0x11, 0x00};
constexpr unsigned char kVersionConCarpetas[] = {0x11, 0x10};

// Sizes are 32-bit; PHP reads no manifest over 100 MiB.
constexpr std::uint64_t kMaximo32 = 0xFFFFFFFF;
constexpr std::uint64_t kManifiestoMaximo = std::uint64_t{100} << 20;
// The manifest's fixed part after its length: entry count, API version,
// flags, alias length and metadata length; and an entry's besides its name:
// name length, size, time, stored size, CRC-32, flags, metadata length.
constexpr std::uint64_t kCabecera = 4 + 2 + 4 + 4 + 4;
constexpr std::uint64_t kPorEntrada = 4 + 6 * 4;

// The manifest is written in pieces of about this size.
constexpr std::size_t kPiezaManifiesto = std::size_t{64} << 10;
// No entry: what a search of the index finds for a path not in it.
constexpr std::uint32_t kSinEntrada = UINT32_MAX;

void pon_32(std::string& destino, std::uint32_t valor) {
    for (int i = 0; i < 4; ++i) {
        destino += static_cast<char>((valor >> (8 * i)) & 0xFF);
    }
}

std::string entre_comillas(std::string_view texto) {
    std::string php = "'";
    for (const char c : texto) {
        if (c == '\\' || c == '\'') {
            php += '\\';
        }
        php += c;
    }
    return php + "'";
}

char minuscula(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Where `aguja` first is in `pajar`, in any letter case.
std::size_t busca_sin_caja(std::string_view pajar, std::string_view aguja) {
    const auto igual = [](char a, char b) { return minuscula(a) == minuscula(b); };
    const auto donde = std::search(pajar.begin(), pajar.end(), aguja.begin(), aguja.end(), igual);
    return donde == pajar.end() ? std::string_view::npos
                                : static_cast<std::size_t>(donde - pajar.begin());
}

bool blanco(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Appends what a compresor gives to `cola`.
std::function<int(std::string_view)> a_la_cola(std::string& cola) {
    return [&cola](std::string_view bytes) {
        cola.append(bytes);
        return 0;
    };
}

// Whether PHP reaches an entry named `ruta` through phar:// and lets it be:
// names, none empty, `.` or `..`, between single slashes; no NUL byte; and
// nothing in the `.phar` folder, which PHP keeps for itself.
bool ruta_valida(std::string_view ruta) {
    if (ruta.empty() || ruta.find('\0') != std::string_view::npos || ruta == ".phar" ||
        ruta.substr(0, 6) == ".phar/") {
        return false;
    }
    for (std::size_t desde = 0;;) {
        const std::size_t hasta = ruta.find('/', desde);
        const std::string_view nombre = ruta.substr(desde, hasta - desde);
        if (nombre.empty() || nombre == "." || nombre == "..") {
            return false;
        }
        if (hasta == std::string_view::npos) {
            return true;
        }
        desde = hasta + 1;
    }
}

// An entry as the manifest tells of it, its name kept in the writer's
// store of names: tens of bytes for each, as every one waits until the end.
struct entrada {
    const char* nombre;   // as stored: a folder's ends in `/`
    std::uint32_t largo;  // of `nombre`
    std::uint32_t tamano;
    std::uint32_t tiempo;
    std::uint32_t guardado;  // the stored size
    std::uint32_t crc;
    std::uint32_t banderas;
    std::uint64_t posicion;  // where its stored bytes start in `aparte`
};

class escritor_phar final : public escritor_paquete {
   public:
    escritor_phar(const opciones_paquete& como, sumidero& salida, sumidero& aparte)
        : comprime_(como.comprime),
          firma_(como.firma),
          alias_(como.alias),
          stub_(como.stub.empty() ? stub_phar(como.alias, {}) : completa_stub(como.stub)),
          salida_(salida),
          aparte_(aparte),
          manifiesto_(kCabecera + como.alias.size()) {
        if (!alias_valido(como.alias) || !(como.stub.empty() || stub_valido(como.stub))) {
            error_ = EINVAL;
        } else if (manifiesto_ > kManifiestoMaximo) {
            error_ = EFBIG;
        }
    }

    datos_pieza prepara(std::string bytes) const override {
        // A file too large for the format is refused when added: no need
        // to compress it first. PHP stores what it was asked to compress,
        // smaller or not.
        const bool cabe = bytes.size() <= kMaximo32;
        return prepara_datos(std::move(bytes), comprime_ && cabe, false);
    }

    int anade(const pieza_paquete& que, const datos_pieza& datos) override {
        if (que.clase != clase_pieza_paquete::fichero ||
            (!datos.comprimidos && datos.guardados.size() != datos.tamano)) {
            return EINVAL;
        }
        if (const int error = admite(que, que.ruta)) {
            return error;
        }
        if (datos.tamano > kMaximo32 || datos.guardados.size() > kMaximo32) {
            return EFBIG;
        }
        const std::uint64_t posicion = aparte_.tamano();
        if (const int error = aparte_.escribe(datos.guardados)) {
            return falla(error);
        }
        registra(que, que.ruta, datos.tamano, datos.guardados.size(), datos.crc, datos.comprimidos,
                 posicion);
        return 0;
    }

    // A reader's error or a file too large leaves the bytes written so far
    // in `aparte` unused: termina() copies each entry's own.
    int anade_flujo(const pieza_paquete& que, const lector_bloques& lee) override {
        if (que.clase != clase_pieza_paquete::fichero) {
            return EINVAL;
        }
        if (const int error = admite(que, que.ruta)) {
            return error;
        }
        std::optional<compresor> gz;
        if (comprime_ && !gz.emplace(compresor::envoltura::ninguna).vale()) {
            return ENOMEM;
        }
        const std::uint64_t posicion = aparte_.tamano();
        std::uint64_t tamano = 0;
        std::uint64_t guardado = 0;
        std::uint32_t crc = 0;
        std::string bloque;
        std::string comprimidos;
        for (bool fin = false; !fin;) {
            bloque.clear();
            if (const int error = lee(bloque)) {
                return error;
            }
            fin = bloque.empty();
            tamano += bloque.size();
            if (tamano > kMaximo32) {
                return EFBIG;
            }
            crc = crc32_de(bloque, crc);
            std::string_view va = bloque;
            if (comprime_) {
                comprimidos.clear();
                if (const int error = gz->comprime(bloque, fin, a_la_cola(comprimidos))) {
                    return error;
                }
                va = comprimidos;
            }
            guardado += va.size();
            if (guardado > kMaximo32) {
                return EFBIG;
            }
            if (const int error = va.empty() ? 0 : aparte_.escribe(va)) {
                return falla(error);
            }
        }
        registra(que, que.ruta, tamano, guardado, crc, comprime_, posicion);
        return 0;
    }

    int anade(const pieza_paquete& que) override {
        switch (que.clase) {
            case clase_pieza_paquete::carpeta: {
                // Stored as PHP's Phar::addEmptyDir stores one: its name and
                // `/`, nothing in it, every permission bit, which PHP's reader
                // gives every folder whatever is stored.
                if (const int error = admite(que, que.ruta + '/')) {
                    return error;
                }
                pieza_paquete como_php = que;
                como_php.modo = kPermisos;
                registra(como_php, que.ruta + '/', 0, 0, 0, false, aparte_.tamano());
                con_carpetas_ = true;
                return 0;
            }
            case clase_pieza_paquete::enlace_duro:
                return anade_copia(que);
            case clase_pieza_paquete::fichero:  // its bytes come with it
            case clase_pieza_paquete::enlace:   // a PHAR holds no links
                break;
        }
        return EINVAL;
    }

    int termina() override {
        if (error_ != 0) {
            return error_;
        }
        if (terminado_ || entradas_.empty()) {  // PHP reads no PHAR without entries
            return EINVAL;
        }
        terminado_ = true;
        resumen suma(firma_ == firma_phar::sha256 ? algoritmo_resumen::sha256
                                                  : algoritmo_resumen::sha512);
        const auto escribe = [&](std::string_view bytes) {
            suma.anade(bytes);
            return salida_.escribe(bytes);
        };
        if (const int error = escribe(stub_)) {
            return falla(error);
        }
        if (const int error = escribe_manifiesto(escribe)) {
            return falla(error);
        }
        // The files' bytes go from `aparte` to the archive, through the
        // kernel where it can, while another thread reads them back to sum
        // them: the digest waits for nothing but those reads.
        if (const int error = aparte_.vacia()) {
            return falla(error);
        }
        int al_sumar = 0;
        const auto suma_datos = [&]() noexcept {
            try {
                al_sumar = por_tramos([&](std::uint64_t desde, std::uint64_t n) {
                    return aparte_.lee_a_trozos(desde, n, [&](std::string_view trozo) {
                        suma.anade(trozo);
                        return 0;
                    });
                });
            } catch (const std::bad_alloc&) {
                al_sumar = ENOMEM;
            }
        };
        int al_copiar = 0;
        {
            hilo_esperado sumando;
            try {
                sumando.lanza(suma_datos);
            } catch (const std::system_error&) {
                // No thread to be had: summed here, after the copy.
            }
            al_copiar = por_tramos([&](std::uint64_t desde, std::uint64_t n) {
                return salida_.anade_de(aparte_, desde, n);
            });
            if (!sumando.lanzado()) {
                suma_datos();
            }
        }
        if (al_copiar != 0 || al_sumar != 0) {
            return falla(al_copiar != 0 ? al_copiar : al_sumar);
        }
        std::string firma = suma.termina();
        if (firma.size() != largo_resumen(firma_ == firma_phar::sha256
                                              ? algoritmo_resumen::sha256
                                              : algoritmo_resumen::sha512)) {
            return falla(EIO);
        }
        pon_32(firma, firma_ == firma_phar::sha256 ? kFirmaSha256 : kFirmaSha512);
        firma += "GBMB";
        if (const int error = salida_.escribe(firma)) {
            return falla(error);
        }
        return 0;
    }

   private:
    // Whether `que` may go in, stored as `nombre`: 0, or why not.
    int admite(const pieza_paquete& que, const std::string& nombre) const {
        if (error_ != 0) {
            return error_;
        }
        if (terminado_ || !ruta_valida(que.ruta)) {
            return EINVAL;
        }
        // PHP names a folder without its `/`: it and a file cannot share a name.
        if (busca(que.ruta) != kSinEntrada) {
            return EEXIST;
        }
        if (manifiesto_ + kPorEntrada + nombre.size() > kManifiestoMaximo) {
            return EFBIG;
        }
        return 0;
    }

    void registra(const pieza_paquete& que, std::string_view nombre, std::uint64_t tamano,
                  std::uint64_t guardado, std::uint32_t crc, bool comprimido,
                  std::uint64_t posicion) {
        // Sizes were checked; a time outside what 32 bits hold is the nearest they do.
        const auto tiempo =
            static_cast<std::uint32_t>(std::clamp<std::int64_t>(que.tiempo, 0, kMaximo32));
        const std::uint32_t banderas = (que.modo & kPermisos) | (comprimido ? kGz : 0);
        con_gz_ = con_gz_ || comprimido;
        manifiesto_ += kPorEntrada + nombre.size();
        entradas_.push_back({nombres_.guarda(nombre).data(),
                             static_cast<std::uint32_t>(nombre.size()),
                             static_cast<std::uint32_t>(tamano), tiempo,
                             static_cast<std::uint32_t>(guardado), crc, banderas, posicion});
        indexa(entradas_.size() - 1);
    }

    // Another name of a file added before: a copy of its stored bytes.
    int anade_copia(const pieza_paquete& que) {
        if (const int error = admite(que, que.ruta)) {
            return error;
        }
        const std::uint32_t donde = busca(que.objetivo);
        if (donde == kSinEntrada) {
            return ENOENT;
        }
        const entrada original = entradas_[donde];
        if (nombre_de(original).back() == '/') {
            return EINVAL;  // a folder
        }
        const std::uint64_t posicion = aparte_.tamano();
        if (const int error = aparte_.anade_de(aparte_, original.posicion, original.guardado)) {
            return falla(error);
        }
        registra(que, que.ruta, original.tamano, original.guardado, original.crc,
                 (original.banderas & kGz) != 0, posicion);
        return 0;
    }

    // Calls `copia` with where each run of stored bytes starts in `aparte`
    // and its length, in the entries' order: the bytes of entries added one
    // after another lie one after another. Returns its first error.
    template <typename Copia>
    int por_tramos(const Copia& copia) const {
        for (std::size_t i = 0; i < entradas_.size();) {
            const std::uint64_t desde = entradas_[i].posicion;
            std::uint64_t hasta = desde + entradas_[i].guardado;
            for (++i; i < entradas_.size() && entradas_[i].posicion == hasta; ++i) {
                hasta += entradas_[i].guardado;
            }
            if (const int error = hasta > desde ? copia(desde, hasta - desde) : 0) {
                return error;
            }
        }
        return 0;
    }

    // Writes the manifest through `escribe`, a piece at a time, so that it is
    // never held whole beside the entries. Returns its first error.
    template <typename Escribe>
    int escribe_manifiesto(const Escribe& escribe) const {
        std::string m;
        pon_32(m, static_cast<std::uint32_t>(manifiesto_));
        pon_32(m, static_cast<std::uint32_t>(entradas_.size()));
        const unsigned char* version = con_carpetas_ ? kVersionConCarpetas : kVersion;
        m += static_cast<char>(version[0]);
        m += static_cast<char>(version[1]);
        pon_32(m, kFirmado | (con_gz_ ? kGz : 0));
        pon_32(m, static_cast<std::uint32_t>(alias_.size()));
        m += alias_;
        pon_32(m, 0);  // no metadata
        for (const entrada& e : entradas_) {
            if (m.size() >= kPiezaManifiesto) {
                if (const int error = escribe(m)) {
                    return error;
                }
                m.clear();
            }
            pon_32(m, e.largo);
            m += nombre_de(e);
            pon_32(m, e.tamano);
            pon_32(m, e.tiempo);
            pon_32(m, e.guardado);
            pon_32(m, e.crc);
            pon_32(m, e.banderas);
            pon_32(m, 0);  // no metadata
        }
        return escribe(m);
    }

    static std::string_view nombre_de(const entrada& e) { return {e.nombre, e.largo}; }

    // The path the entry `e` is found by: its name, a folder's without `/`.
    static std::string_view clave_de(const entrada& e) {
        const std::string_view nombre = nombre_de(e);
        return nombre.back() == '/' ? nombre.substr(0, nombre.size() - 1) : nombre;
    }

    // The slot of `huecos_` that holds the entry found by `clave`, or the
    // empty one where it would go.
    std::size_t hueco_de(std::string_view clave) const {
        const std::size_t mascara = huecos_.size() - 1;
        for (std::size_t h = std::hash<std::string_view>{}(clave)&mascara;; h = (h + 1) & mascara) {
            if (huecos_[h] == 0 || clave_de(entradas_[huecos_[h] - 1]) == clave) {
                return h;
            }
        }
    }

    // The entry found by `clave`, or kSinEntrada.
    std::uint32_t busca(std::string_view clave) const {
        if (huecos_.empty()) {
            return kSinEntrada;
        }
        const std::uint32_t en = huecos_[hueco_de(clave)];
        return en == 0 ? kSinEntrada : en - 1;
    }

    // Puts the entry `i`, just added, in the index: kept at most half full,
    // so that a search ends soon at an empty slot.
    void indexa(std::size_t i) {
        if (2 * entradas_.size() > huecos_.size()) {
            std::vector<std::uint32_t> antes(std::max<std::size_t>(1024, 2 * huecos_.size()), 0);
            huecos_.swap(antes);
            for (const std::uint32_t en : antes) {
                if (en != 0) {
                    huecos_[hueco_de(clave_de(entradas_[en - 1]))] = en;
                }
            }
        }
        huecos_[hueco_de(clave_de(entradas_[i]))] = static_cast<std::uint32_t>(i + 1);
    }

    // A sink's failure: every call after it returns it.
    int falla(int error) {
        error_ = error;
        return error;
    }

    const bool comprime_;
    const firma_phar firma_;
    const std::string alias_;
    const std::string stub_;
    sumidero& salida_;
    sumidero& aparte_;
    std::vector<entrada> entradas_;
    almacen_nombres nombres_;  // the entries' names
    // The index of the entries by path (a folder's without `/`), open
    // addressing: each slot 0, or an entry's place in `entradas_` plus 1.
    std::vector<std::uint32_t> huecos_;
    std::uint64_t manifiesto_;  // its length so far, the 4 bytes that hold it apart
    bool con_carpetas_ = false;
    bool con_gz_ = false;
    bool terminado_ = false;
    int error_ = 0;
};

}  // namespace

std::string stub_phar(std::string_view alias, std::string_view principal) {
    const std::string mapea = alias.empty() ? "" : entre_comillas(alias);
    std::string stub = principal.empty() ? "<?php\n" : "#!/usr/bin/env php\n<?php\n";
    stub += "Phar::mapPhar(" + mapea + ");\n";
    if (!principal.empty()) {
        const std::string ruta = "/" + std::string(principal);
        stub += alias.empty()
                    ? "require 'phar://' . __FILE__ . " + entre_comillas(ruta) + ";\n"
                    : "require " + entre_comillas("phar://" + std::string(alias) + ruta) + ";\n";
    }
    return stub + std::string(kAlto) + " ?>\r\n";
}

bool stub_valido(std::string_view stub) {
    const std::size_t donde = busca_sin_caja(stub, kAlto);
    if (donde == std::string_view::npos || stub.substr(donde, kAlto.size()) != kAlto) {
        return false;
    }
    std::string_view resto = stub.substr(donde + kAlto.size());
    const auto salta_blancos = [&resto] {
        while (!resto.empty() && blanco(resto.front())) {
            resto.remove_prefix(1);
        }
    };
    salta_blancos();
    if (resto.substr(0, 2) == "?>") {
        resto.remove_prefix(2);
        salta_blancos();
    }
    return resto.empty();
}

std::string completa_stub(std::string_view stub) {
    const std::size_t donde = stub.find(kAlto);
    if (donde == std::string_view::npos) {
        return std::string(stub);
    }
    return std::string(stub.substr(0, donde + kAlto.size())) + " ?>\r\n";
}

bool alias_valido(std::string_view alias) {
    return alias.find_first_of(std::string_view("/\\:;\r\n\0", 7)) == std::string_view::npos;
}

std::unique_ptr<escritor_paquete> crea_escritor_phar(const opciones_paquete& como, sumidero& salida,
                                                     sumidero& aparte) {
    return std::make_unique<escritor_phar>(como, salida, aparte);
}

}  // namespace kexo
