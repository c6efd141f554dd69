#include "salida/zip.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "salida/deflate.h"
#include "salida/nombres.h"
#include "salida/utf8.h"

namespace kexo {

namespace {

constexpr std::uint32_t kFirmaLocal = 0x04034b50;
constexpr std::uint32_t kFirmaCentral = 0x02014b50;
constexpr std::uint32_t kFirmaFin = 0x06054b50;
constexpr std::uint32_t kFirmaFin64 = 0x06064b50;
constexpr std::uint32_t kFirmaLocalizador64 = 0x07064b50;
constexpr std::uint16_t kNombresUtf8 = 0x0800;  // general purpose flag bit 11
constexpr std::uint16_t kHechoEnUnix = 3 << 8;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint16_t kCampoZip64 = 0x0001;
constexpr std::uint16_t kCampoTiempo = 0x5455;  // extended timestamp: the UTC mtime
constexpr std::uint16_t kGuardado = 0;
constexpr std::uint16_t kDeflate = 8;
constexpr std::uint32_t kTipoFichero = 0100000;
constexpr std::uint32_t kTipoCarpeta = 040000;
constexpr std::uint32_t kTipoEnlace = 0120000;
constexpr std::uint32_t kCarpetaDos = 0x10;
constexpr std::size_t kBloque = std::size_t{1} << 16;
constexpr std::int64_t kDesde1980 = 315532800;   // 1980-01-01 00:00 UTC
constexpr std::int64_t kHasta2107 = 4354819199;  // 2107-12-31 23:59:59 UTC

void pon16(std::string& s, std::uint64_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void pon32(std::string& s, std::uint64_t v) {
    pon16(s, v & 0xFFFF);
    pon16(s, (v >> 16) & 0xFFFF);
}
void pon64(std::string& s, std::uint64_t v) {
    pon32(s, v & 0xFFFFFFFF);
    pon32(s, v >> 32);
}

// An entry as its local header and its central record tell of it.
struct entrada {
    std::string_view nombre;     // in the writer's store of names
    std::uint64_t posicion = 0;  // of its local header
    std::uint64_t datos = 0;     // of its stored bytes
    std::uint64_t tamano = 0;
    std::uint64_t guardado = 0;
    std::uint32_t crc = 0;
    std::uint32_t modo = 0;  // type and permission bits, as st_mode
    std::int64_t tiempo = 0;
    std::uint16_t metodo = kGuardado;
    bool zip64_local = false;  // its local header gives the sizes in a Zip64 field
};

// The extended timestamp holds 32 bits that readers take as signed (Info-ZIP)
// or unsigned (libarchive): only the times both read alike go in it.
bool tiempo_unix_cabe(std::int64_t tiempo) {
    return tiempo >= 0 && tiempo <= INT32_MAX;
}

class escritor_zip final : public escritor_paquete {
   public:
    escritor_zip(const opciones_paquete& como, sumidero& salida, const limites_zip& limites)
        : comprime_(como.comprime), salida_(salida), limites_(limites) {}

    datos_pieza prepara(std::string bytes) const override {
        // Stored where deflate does not make a file smaller.
        return prepara_datos(std::move(bytes), comprime_, true);
    }

    int anade(const pieza_paquete& que, const datos_pieza& datos) override {
        if (que.clase != clase_pieza_paquete::fichero) {
            return EINVAL;
        }
        if (!nombre_cabe(que)) {
            return ENAMETOOLONG;
        }
        entrada e = entrada_de(que, que.ruta, kTipoFichero);
        e.tamano = datos.tamano;
        e.guardado = datos.guardados.size();
        e.crc = datos.crc;
        e.metodo = datos.comprimidos ? kDeflate : kGuardado;
        return anade_entrada(std::move(e), datos.guardados, true);
    }

    int anade_flujo(const pieza_paquete& que, const lector_bloques& lee) override {
        if (que.clase != clase_pieza_paquete::fichero) {
            return EINVAL;
        }
        if (!nombre_cabe(que)) {
            return ENAMETOOLONG;
        }
        // The sizes are known at the end: the local header holds a Zip64
        // field from the start, so that writing them back changes no length.
        entrada e = entrada_de(que, que.ruta, kTipoFichero);
        e.metodo = comprime_ ? kDeflate : kGuardado;
        e.zip64_local = true;
        e.posicion = salida_.tamano();
        const std::string antes = cabecera_local(e);
        if (const int error = salida_.escribe(antes)) {
            return error;
        }
        e.datos = e.posicion + antes.size();
        compresor z(compresor::envoltura::ninguna);
        if (comprime_ && !z.vale()) {
            return ENOMEM;
        }
        const auto sale = [&](std::string_view trozo) {
            e.guardado += trozo.size();
            return salida_.escribe(trozo);
        };
        std::string bloque;
        for (;;) {
            bloque.clear();
            if (const int error = lee(bloque)) {
                return error;
            }
            e.tamano += bloque.size();
            e.crc = crc32_de(bloque, e.crc);
            const int error = comprime_ ? z.comprime(bloque, bloque.empty(), sale) : sale(bloque);
            if (error != 0) {
                return error;
            }
            if (bloque.empty()) {
                break;
            }
        }
        if (const int error = salida_.escribe_en(e.posicion, cabecera_local(e))) {
            return error;
        }
        return registra(std::move(e), true);
    }

    int anade(const pieza_paquete& que) override {
        if (!nombre_cabe(que)) {
            return ENAMETOOLONG;
        }
        switch (que.clase) {
            case clase_pieza_paquete::carpeta: {
                entrada e = entrada_de(que, que.ruta + '/', kTipoCarpeta);
                return anade_entrada(std::move(e), {}, false);
            }
            case clase_pieza_paquete::enlace: {
                // As Info-ZIP stores one: its target as its bytes.
                entrada e = entrada_de(que, que.ruta, kTipoEnlace);
                e.tamano = e.guardado = que.objetivo.size();
                e.crc = crc32_de(que.objetivo);
                return anade_entrada(std::move(e), que.objetivo, false);
            }
            case clase_pieza_paquete::enlace_duro:
                return anade_copia(que);
            case clase_pieza_paquete::fichero:
                break;
        }
        return EINVAL;
    }

    int termina() override {
        const std::uint64_t inicio = salida_.tamano();
        std::string bytes;
        for (const entrada& e : entradas_) {
            bytes.clear();
            registro_central(e, bytes);
            if (const int error = salida_.escribe(bytes)) {
                return error;
            }
        }
        const std::uint64_t fin = salida_.tamano();
        return salida_.escribe(cierre(entradas_.size(), inicio, fin - inicio));
    }

   private:
    // A name's length is a 2-byte field (a folder's takes a `/` more).
    static bool nombre_cabe(const pieza_paquete& que) { return que.ruta.size() < 0xFFFF; }

    entrada entrada_de(const pieza_paquete& que, std::string_view nombre, std::uint32_t tipo) {
        entrada e;
        e.nombre = nombres_.guarda(nombre);
        e.modo = tipo | (que.modo & 07777);
        e.tiempo = que.tiempo;
        return e;
    }

    bool cabe(std::uint64_t v) const { return v < limites_.bytes; }

    std::uint16_t version_necesaria(const entrada& e) const {
        if (e.zip64_local || !cabe(e.posicion)) {
            return kVersionZip64;
        }
        return e.metodo == kDeflate || (e.modo & 0170000) == kTipoCarpeta ? 20 : 10;
    }

    // Version, flags, method, DOS time, CRC and the sizes: what the local
    // header and the central record share, in the same order.
    void comunes(const entrada& e, bool zip64_tamanos, std::string& s) const {
        pon16(s, version_necesaria(e));
        // UTF-8 names say so; a name that is not keeps its bytes, unflagged,
        // so that readers that decode flagged names still open the archive.
        pon16(s, utf8_valido(e.nombre) ? kNombresUtf8 : 0);
        pon16(s, e.metodo);
        pon32(s, fecha_dos(e.tiempo));
        pon32(s, e.crc);
        pon32(s, zip64_tamanos || !cabe(e.guardado) ? 0xFFFFFFFF : e.guardado);
        pon32(s, zip64_tamanos || !cabe(e.tamano) ? 0xFFFFFFFF : e.tamano);
    }

    static void campo_tiempo(const entrada& e, std::string& extra) {
        if (tiempo_unix_cabe(e.tiempo)) {
            pon16(extra, kCampoTiempo);
            pon16(extra, 5);
            extra += '\x01';  // the modification time alone
            pon32(extra, static_cast<std::uint32_t>(e.tiempo));
        }
    }

    std::string cabecera_local(const entrada& e) const {
        std::string extra;
        if (e.zip64_local) {
            pon16(extra, kCampoZip64);
            pon16(extra, 16);
            pon64(extra, e.tamano);
            pon64(extra, e.guardado);
        }
        campo_tiempo(e, extra);
        std::string s;
        pon32(s, kFirmaLocal);
        comunes(e, e.zip64_local, s);
        pon16(s, e.nombre.size());
        pon16(s, extra.size());
        s += e.nombre;
        return s + extra;
    }

    void registro_central(const entrada& e, std::string& s) const {
        std::string extra;
        std::string zip64;
        if (!cabe(e.tamano)) {
            pon64(zip64, e.tamano);
        }
        if (!cabe(e.guardado)) {
            pon64(zip64, e.guardado);
        }
        if (!cabe(e.posicion)) {
            pon64(zip64, e.posicion);
        }
        if (!zip64.empty()) {
            pon16(extra, kCampoZip64);
            pon16(extra, zip64.size());
            extra += zip64;
        }
        campo_tiempo(e, extra);
        pon32(s, kFirmaCentral);
        pon16(s, kHechoEnUnix | kVersionZip64);
        comunes(e, false, s);
        pon16(s, e.nombre.size());
        pon16(s, extra.size());
        pon16(s, 0);  // comment
        pon16(s, 0);  // disk
        pon16(s, 0);  // internal attributes
        const bool carpeta = (e.modo & 0170000) == kTipoCarpeta;
        pon32(s, (std::uint32_t{e.modo} << 16) | (carpeta ? kCarpetaDos : 0));
        pon32(s, cabe(e.posicion) ? e.posicion : 0xFFFFFFFF);
        s += e.nombre;
        s += extra;
    }

    // The end of central directory, after the Zip64 one and its locator when
    // the count, the directory's size or its offset needs them.
    std::string cierre(std::uint64_t cuantas, std::uint64_t inicio, std::uint64_t largo) const {
        std::string s;
        const bool cuenta_cabe = cuantas < limites_.entradas;
        if (!cuenta_cabe || !cabe(inicio) || !cabe(largo)) {
            const std::uint64_t donde = inicio + largo;
            pon32(s, kFirmaFin64);
            pon64(s, 44);  // the size of what follows
            pon16(s, kHechoEnUnix | kVersionZip64);
            pon16(s, kVersionZip64);
            pon32(s, 0);
            pon32(s, 0);
            pon64(s, cuantas);
            pon64(s, cuantas);
            pon64(s, largo);
            pon64(s, inicio);
            pon32(s, kFirmaLocalizador64);
            pon32(s, 0);
            pon64(s, donde);
            pon32(s, 1);
        }
        pon32(s, kFirmaFin);
        pon16(s, 0);
        pon16(s, 0);
        pon16(s, cuenta_cabe ? cuantas : 0xFFFF);
        pon16(s, cuenta_cabe ? cuantas : 0xFFFF);
        pon32(s, cabe(largo) ? largo : 0xFFFFFFFF);
        pon32(s, cabe(inicio) ? inicio : 0xFFFFFFFF);
        pon16(s, 0);  // comment
        return s;
    }

    // Writes `e`'s local header and, with `bytes`, its stored bytes.
    int anade_entrada(entrada e, std::string_view bytes, bool fichero) {
        e.posicion = salida_.tamano();
        e.zip64_local = e.zip64_local || !cabe(e.tamano) || !cabe(e.guardado);
        const std::string cabecera = cabecera_local(e);
        e.datos = e.posicion + cabecera.size();
        if (const int error = salida_.escribe(cabecera)) {
            return error;
        }
        if (const int error = salida_.escribe(bytes)) {
            return error;
        }
        return registra(std::move(e), fichero);
    }

    int registra(entrada e, bool fichero) {
        if (fichero) {
            en_orden_ =
                en_orden_ && (ficheros_.empty() || entradas_[ficheros_.back()].nombre < e.nombre);
            ficheros_.push_back(entradas_.size());
        }
        entradas_.push_back(std::move(e));
        return 0;
    }

    // The file added last under the name `nombre`, or null.
    const entrada* fichero_llamado(std::string_view nombre) const {
        if (en_orden_) {
            const auto cual = std::lower_bound(
                ficheros_.begin(), ficheros_.end(), nombre,
                [this](std::size_t i, std::string_view n) { return entradas_[i].nombre < n; });
            return cual != ficheros_.end() && entradas_[*cual].nombre == nombre ? &entradas_[*cual]
                                                                                : nullptr;
        }
        const auto cual = std::find_if(ficheros_.rbegin(), ficheros_.rend(), [&](std::size_t i) {
            return entradas_[i].nombre == nombre;
        });
        return cual != ficheros_.rend() ? &entradas_[*cual] : nullptr;
    }

    // Another name of a file added before: a copy of its stored bytes, read
    // back, with its CRC and sizes.
    int anade_copia(const pieza_paquete& que) {
        const entrada* const hallada = fichero_llamado(que.objetivo);
        if (hallada == nullptr) {
            return ENOENT;
        }
        const entrada& original = *hallada;
        entrada e = entrada_de(que, que.ruta, kTipoFichero);
        e.tamano = original.tamano;
        e.guardado = original.guardado;
        e.crc = original.crc;
        e.metodo = original.metodo;
        e.posicion = salida_.tamano();
        e.zip64_local = !cabe(e.tamano) || !cabe(e.guardado);
        const std::uint64_t desde = original.datos;
        const std::string cabecera = cabecera_local(e);
        e.datos = e.posicion + cabecera.size();
        if (const int error = salida_.escribe(cabecera)) {
            return error;
        }
        std::string bloque;
        for (std::uint64_t hecho = 0; hecho < e.guardado;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kBloque, e.guardado - hecho));
            bloque.resize(n);
            if (const int error = salida_.lee_en(desde + hecho, bloque.data(), n)) {
                return error;
            }
            if (const int error = salida_.escribe(bloque)) {
                return error;
            }
            hecho += n;
        }
        return registra(std::move(e), true);
    }

    bool comprime_;
    sumidero& salida_;
    limites_zip limites_;
    std::vector<entrada> entradas_;
    almacen_nombres nombres_;  // the entries' names
    // The files' entries, in the order added: in name order, as a tree's
    // walk gives them, while `en_orden_`, and then found by halving.
    std::vector<std::size_t> ficheros_;
    bool en_orden_ = true;
};

// Days since 1970-01-01 to the civil date (Gregorian, proleptic).
void fecha_civil(std::int64_t dias, std::int64_t& ano, unsigned& mes, unsigned& dia) {
    dias += 719468;
    const std::int64_t era = (dias >= 0 ? dias : dias - 146096) / 146097;
    const auto del_era = static_cast<unsigned>(dias - era * 146097);
    const unsigned ano_era = (del_era - del_era / 1460 + del_era / 36524 - del_era / 146096) / 365;
    const unsigned del_ano = del_era - (365 * ano_era + ano_era / 4 - ano_era / 100);
    const unsigned m = (5 * del_ano + 2) / 153;
    dia = del_ano - (153 * m + 2) / 5 + 1;
    mes = m < 10 ? m + 3 : m - 9;
    ano = static_cast<std::int64_t>(ano_era) + era * 400 + (mes <= 2 ? 1 : 0);
}

}  // namespace

std::uint32_t fecha_dos(std::int64_t tiempo) {
    tiempo = std::clamp(tiempo, kDesde1980, kHasta2107);
    const std::int64_t dias = tiempo / 86400;
    const auto segundos = static_cast<std::uint32_t>(tiempo % 86400);
    std::int64_t ano = 0;
    unsigned mes = 0;
    unsigned dia = 0;
    fecha_civil(dias, ano, mes, dia);
    const auto fecha = static_cast<std::uint32_t>(((ano - 1980) << 9) | (mes << 5) | dia);
    const std::uint32_t hora =
        ((segundos / 3600) << 11) | (((segundos / 60) % 60) << 5) | ((segundos % 60) / 2);
    return (fecha << 16) | hora;
}

std::unique_ptr<escritor_paquete> crea_escritor_zip(const opciones_paquete& como, sumidero& salida,
                                                    sumidero& /*aparte*/) {
    return std::make_unique<escritor_zip>(como, salida, limites_zip{});
}

std::unique_ptr<escritor_paquete> crea_escritor_zip(const opciones_paquete& como, sumidero& salida,
                                                    const limites_zip& limites) {
    return std::make_unique<escritor_zip>(como, salida, limites);
}

}  // namespace kexo
