#include "salida/tar.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "salida/deflate.h"
#include "salida/utf8.h"

namespace kexo {

namespace {

constexpr std::size_t kBloqueTar = 512;
constexpr std::uint64_t kRegistroTar = 10240;  // what GNU tar and bsdtar pad an archive to
constexpr std::size_t kCopia = std::size_t{1} << 16;
constexpr std::size_t kNombre = 100;
constexpr std::size_t kPrefijo = 155;
constexpr std::uint64_t kOctal11 = std::uint64_t{1} << 33;  // 8^11: what 11 octal digits hold

// The tar gzipped as it is written: deflate goes only forward.
class sumidero_gzip final : public sumidero {
   public:
    explicit sumidero_gzip(sumidero& destino) : destino_(destino), z_(compresor::envoltura::gzip) {}

    int escribe(std::string_view bytes) override {
        escritos_ += bytes.size();
        return z_.comprime(bytes, false, sale());
    }
    int escribe_en(std::uint64_t, std::string_view) override { return EINVAL; }
    int lee_en(std::uint64_t, char*, std::size_t) override { return EINVAL; }
    std::uint64_t tamano() const override { return escritos_; }

    int termina() { return z_.comprime({}, true, sale()); }

   private:
    std::function<int(std::string_view)> sale() {
        return [this](std::string_view trozo) { return destino_.escribe(trozo); };
    }

    sumidero& destino_;
    compresor z_;
    std::uint64_t escritos_ = 0;
};

bool ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return c > 0 && static_cast<unsigned char>(c) < 0x80; });
}

// `s` in printable ASCII, cut to `largo` bytes: a field's stand-in for a
// value its pax record gives whole.
std::string aproximado(std::string_view s, std::size_t largo) {
    std::string r(s.substr(0, largo));
    for (char& c : r) {
        if (c < 0x20 || c > 0x7E) {
            c = '_';
        }
    }
    return r;
}

// ustar's prefix and name fields for `nombre`; false when they cannot hold it.
bool reparte(std::string_view nombre, std::string_view& prefijo, std::string_view& resto) {
    if (!ascii(nombre)) {
        return false;
    }
    if (nombre.size() <= kNombre) {
        prefijo = {};
        resto = nombre;
        return true;
    }
    for (std::size_t barra = nombre.find('/'); barra != std::string_view::npos && barra <= kPrefijo;
         barra = nombre.find('/', barra + 1)) {
        const std::size_t queda = nombre.size() - barra - 1;
        if (queda > 0 && queda <= kNombre) {
            prefijo = nombre.substr(0, barra);
            resto = nombre.substr(barra + 1);
            return true;
        }
    }
    return false;
}

// `v` in octal, in the `ancho` bytes at `desde`: digits, then a NUL.
void octal(std::string& h, std::size_t desde, std::size_t ancho, std::uint64_t v) {
    h[desde + ancho - 1] = '\0';
    for (std::size_t i = ancho - 1; i-- > 0;) {
        h[desde + i] = static_cast<char>('0' + (v & 7));
        v >>= 3;
    }
}

void campo(std::string& h, std::size_t desde, std::string_view valor) {
    h.replace(desde, valor.size(), valor);
}

// A pax record: its own length in decimal, which counts itself, then
// " key=value\n".
void registro_pax(std::string& s, std::string_view clave, std::string_view valor) {
    const std::size_t resto = clave.size() + valor.size() + 3;
    std::size_t largo = resto + 1;
    while (std::to_string(largo).size() + resto != largo) {
        largo = std::to_string(largo).size() + resto;
    }
    s += std::to_string(largo);
    s += ' ';
    s += clave;
    s += '=';
    s += valor;
    s += '\n';
}

// A ustar header block with its checksum.
std::string cabecera_ustar(char tipo, std::string_view prefijo, std::string_view nombre,
                           std::string_view enlace, std::uint32_t modo, std::uint64_t tamano,
                           std::uint64_t tiempo) {
    std::string h(kBloqueTar, '\0');
    campo(h, 0, nombre);
    octal(h, 100, 8, modo & 07777);
    octal(h, 108, 8, 0);  // uid
    octal(h, 116, 8, 0);  // gid
    octal(h, 124, 12, tamano);
    octal(h, 136, 12, tiempo);
    h[156] = tipo;
    campo(h, 157, enlace);
    campo(h, 257,
          std::string_view("ustar\0"
                           "00",
                           8));
    octal(h, 329, 8, 0);  // device numbers
    octal(h, 337, 8, 0);
    campo(h, 345, prefijo);
    campo(h, 148, "        ");
    unsigned suma = 0;
    for (const char c : h) {
        suma += static_cast<unsigned char>(c);
    }
    octal(h, 148, 7, suma);
    h[155] = ' ';
    return h;
}

class escritor_tar final : public escritor_paquete {
   public:
    escritor_tar(sumidero& salida, sumidero& aparte, bool gzip) : aparte_(aparte) {
        if (gzip) {
            gzip_ = std::make_unique<sumidero_gzip>(salida);
        }
        destino_ = gzip ? gzip_.get() : &salida;
    }

    datos_pieza prepara(std::string bytes) const override {
        datos_pieza datos;
        datos.tamano = bytes.size();
        datos.guardados = std::move(bytes);
        return datos;
    }

    int anade(const pieza_paquete& que, const datos_pieza& datos) override {
        if (que.clase != clase_pieza_paquete::fichero) {
            return EINVAL;
        }
        if (const int error = cabecera(que, '0', que.ruta, {}, datos.guardados.size())) {
            return error;
        }
        if (const int error = escribe(datos.guardados)) {
            return error;
        }
        return rellena();
    }

    int anade_flujo(const pieza_paquete& que, const lector_bloques& lee) override {
        if (que.clase != clase_pieza_paquete::fichero) {
            return EINVAL;
        }
        // The header gives the size: the bytes wait in `aparte` until it is known.
        const std::uint64_t inicio = aparte_.tamano();
        std::uint64_t tamano = 0;
        std::string bloque;
        for (;;) {
            bloque.clear();
            if (const int error = lee(bloque)) {
                return error;
            }
            if (bloque.empty()) {
                break;
            }
            if (const int error = aparte_.escribe(bloque)) {
                return error;
            }
            tamano += bloque.size();
        }
        if (const int error = cabecera(que, '0', que.ruta, {}, tamano)) {
            return error;
        }
        for (std::uint64_t hecho = 0; hecho < tamano;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kCopia, tamano - hecho));
            bloque.resize(n);
            if (const int error = aparte_.lee_en(inicio + hecho, bloque.data(), n)) {
                return error;
            }
            if (const int error = escribe(bloque)) {
                return error;
            }
            hecho += n;
        }
        return rellena();
    }

    int anade(const pieza_paquete& que) override {
        switch (que.clase) {
            case clase_pieza_paquete::carpeta:
                return cabecera(que, '5', que.ruta + '/', {}, 0);
            case clase_pieza_paquete::enlace:
                return cabecera(que, '2', que.ruta, que.objetivo, 0);
            case clase_pieza_paquete::enlace_duro:
                return cabecera(que, '1', que.ruta, que.objetivo, 0);
            case clase_pieza_paquete::fichero:
                break;
        }
        return EINVAL;
    }

    int termina() override {
        // Two zero blocks, then zeros up to a whole record.
        std::uint64_t ceros = 2 * kBloqueTar;
        ceros += (kRegistroTar - (escritos_ + ceros) % kRegistroTar) % kRegistroTar;
        if (const int error = escribe(std::string(static_cast<std::size_t>(ceros), '\0'))) {
            return error;
        }
        return gzip_ ? gzip_->termina() : 0;
    }

   private:
    int escribe(std::string_view bytes) {
        escritos_ += bytes.size();
        return destino_->escribe(bytes);
    }

    // Zeros after a file's bytes, up to a whole block.
    int rellena() {
        const std::size_t resto = static_cast<std::size_t>(escritos_ % kBloqueTar);
        return resto == 0 ? 0 : escribe(std::string(kBloqueTar - resto, '\0'));
    }

    // The entry's header, after an extended header with what ustar's fields
    // cannot hold exactly.
    int cabecera(const pieza_paquete& que, char tipo, const std::string& nombre,
                 std::string_view enlace, std::uint64_t tamano) {
        std::string pax;
        if (!utf8_valido(nombre) || !utf8_valido(enlace)) {
            // Bytes to be taken as they are, not as UTF-8.
            registro_pax(pax, "hdrcharset", "BINARY");
        }
        std::string_view prefijo;
        std::string_view corto;
        std::string sustituto;
        if (!reparte(nombre, prefijo, corto)) {
            registro_pax(pax, "path", nombre);
            sustituto = aproximado(nombre, kNombre);
            prefijo = {};
            corto = sustituto;
        }
        std::string enlace_sustituto;
        if (enlace.size() > kNombre || !ascii(enlace)) {
            registro_pax(pax, "linkpath", enlace);
            enlace_sustituto = aproximado(enlace, kNombre);
            enlace = enlace_sustituto;
        }
        if (tamano >= kOctal11) {
            registro_pax(pax, "size", std::to_string(tamano));
        }
        const bool tiempo_cabe =
            que.tiempo >= 0 && static_cast<std::uint64_t>(que.tiempo) < kOctal11;
        if (!tiempo_cabe) {
            registro_pax(pax, "mtime", std::to_string(que.tiempo));
        }
        const std::uint64_t tiempo = tiempo_cabe ? static_cast<std::uint64_t>(que.tiempo) : 0;
        if (!pax.empty()) {
            // Named after the entry, with no process id or other thing of this run.
            const std::size_t barra = que.ruta.rfind('/');
            const std::string_view base =
                std::string_view(que.ruta).substr(barra == std::string::npos ? 0 : barra + 1);
            const std::string nombre_pax = "PaxHeaders/" + aproximado(base, kNombre - 11);
            if (const int error =
                    escribe(cabecera_ustar('x', {}, nombre_pax, {}, 0644, pax.size(), tiempo))) {
                return error;
            }
            if (const int error = escribe(pax)) {
                return error;
            }
            if (const int error = rellena()) {
                return error;
            }
        }
        return escribe(cabecera_ustar(tipo, prefijo, corto, enlace, que.modo,
                                      tamano < kOctal11 ? tamano : 0, tiempo));
    }

    sumidero& aparte_;
    std::unique_ptr<sumidero_gzip> gzip_;
    sumidero* destino_;
    std::uint64_t escritos_ = 0;  // the tar's bytes so far (before gzip)
};

}  // namespace

std::unique_ptr<escritor_paquete> crea_escritor_tar(const opciones_paquete& /*como*/,
                                                    sumidero& salida, sumidero& aparte, bool gzip) {
    return std::make_unique<escritor_tar>(salida, aparte, gzip);
}

}  // namespace kexo
