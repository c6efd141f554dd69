// What the archive writers share: the format a name or an option chooses, a
// sink in memory, and the writer each format has.
#include "salida/paquete.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "salida/deflate.h"
#include "salida/phar.h"
#include "salida/tar.h"
#include "salida/zip.h"

namespace kexo {

namespace {

// Whether `texto` ends in `final` (lower case), in any letter case.
bool termina_en(std::string_view texto, std::string_view final) {
    if (texto.size() < final.size()) {
        return false;
    }
    const std::string_view cola = texto.substr(texto.size() - final.size());
    for (std::size_t i = 0; i < final.size(); ++i) {
        char c = cola[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != final[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

datos_pieza prepara_datos(std::string bytes, bool comprime, bool solo_si_menor) {
    datos_pieza datos;
    datos.tamano = bytes.size();
    datos.crc = crc32_de(bytes);
    if (comprime) {
        std::string comprimidos;
        compresor z(compresor::envoltura::ninguna);
        const int error = z.comprime(bytes, true, [&](std::string_view trozo) {
            comprimidos += trozo;
            return !solo_si_menor || comprimidos.size() < bytes.size() ? 0 : EFBIG;
        });
        if (error == 0) {
            datos.guardados = std::move(comprimidos);
            datos.comprimidos = true;
            return datos;
        }
    }
    datos.guardados = std::move(bytes);
    return datos;
}

formato_paquete formato_por_nombre(std::string_view ruta) {
    if (termina_en(ruta, ".phar")) {
        return formato_paquete::phar;
    }
    if (termina_en(ruta, ".zip")) {
        return formato_paquete::zip;
    }
    if (termina_en(ruta, ".tar")) {
        return formato_paquete::tar;
    }
    if (termina_en(ruta, ".tar.gz") || termina_en(ruta, ".tgz")) {
        return formato_paquete::tgz;
    }
    return formato_paquete::carpeta;
}

bool formato_por_opcion(std::string_view nombre, formato_paquete& formato) {
    static constexpr struct {
        std::string_view nombre;
        formato_paquete formato;
    } kFormatos[] = {
        {"carpeta", formato_paquete::carpeta}, {"phar", formato_paquete::phar},
        {"zip", formato_paquete::zip},         {"tar", formato_paquete::tar},
        {"tgz", formato_paquete::tgz},
    };
    for (const auto& f : kFormatos) {
        if (f.nombre == nombre) {
            formato = f.formato;
            return true;
        }
    }
    return false;
}

int sumidero_memoria::escribe(std::string_view bytes) {
    try {
        bytes_.append(bytes);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (const std::length_error&) {
        return EFBIG;
    }
    return 0;
}

int sumidero_memoria::escribe_en(std::uint64_t posicion, std::string_view bytes) {
    if (posicion > bytes_.size() || bytes.size() > bytes_.size() - posicion) {
        return EINVAL;
    }
    bytes_.replace(static_cast<std::size_t>(posicion), bytes.size(), bytes);
    return 0;
}

int sumidero_memoria::lee_en(std::uint64_t posicion, char* donde, std::size_t n) {
    if (posicion > bytes_.size() || n > bytes_.size() - posicion) {
        return EINVAL;
    }
    if (n > 0) {
        std::memcpy(donde, bytes_.data() + posicion, n);
    }
    return 0;
}

int sumidero::anade_de(sumidero& origen, std::uint64_t posicion, std::uint64_t n) {
    return origen.lee_a_trozos(posicion, n,
                               [this](std::string_view trozo) { return escribe(trozo); });
}

int sumidero::lee_a_trozos(std::uint64_t posicion, std::uint64_t n,
                           const std::function<int(std::string_view)>& toma) {
    constexpr std::size_t kTrozo = std::size_t{1} << 20;
    std::string trozo;
    while (n > 0) {
        const auto pieza = static_cast<std::size_t>(std::min<std::uint64_t>(n, kTrozo));
        trozo.resize(pieza);
        if (const int error = lee_en(posicion, trozo.data(), pieza)) {
            return error;
        }
        if (const int error = toma(trozo)) {
            return error;
        }
        posicion += pieza;
        n -= pieza;
    }
    return 0;
}

std::unique_ptr<escritor_paquete> crea_escritor(const opciones_paquete& como, sumidero& salida,
                                                sumidero& aparte) {
    switch (como.formato) {
        case formato_paquete::phar:
            return crea_escritor_phar(como, salida, aparte);
        case formato_paquete::zip:
            return crea_escritor_zip(como, salida, aparte);
        case formato_paquete::tar:
            return crea_escritor_tar(como, salida, aparte, false);
        case formato_paquete::tgz:
            return crea_escritor_tar(como, salida, aparte, true);
        case formato_paquete::carpeta:
            break;
    }
    return nullptr;
}

}  // namespace kexo
