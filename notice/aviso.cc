#include "notice/aviso.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/archivo.h"
#include "common/ficheros.h"
#include "common/traza.h"
#include "lexical/lexico_php.h"

namespace kexo {

namespace {

// Raw bytes enough for a 999-byte first line after text-mode translation.
constexpr std::size_t kLecturaAviso = 1024;

constexpr char kFinDeTexto = '\x1a';

// The first bytes of `archivo` as a text-mode read gives them; "" when they
// cannot be read, with the error number in `error` when it is given.
std::string lee_inicio(std::FILE* archivo, int* error = nullptr) {
    std::string bruto(kLecturaAviso, '\0');
    errno = 0;
    bruto.resize(std::fread(bruto.data(), 1, bruto.size(), archivo));
    if (std::ferror(archivo)) {
        if (error != nullptr) {
            *error = errno != 0 ? errno : EIO;
        }
        return std::string();
    }
    // Where the system has no text mode, the translation is done here.
    return kHayModoTexto ? bruto : traduce_modo_texto(bruto);
}

void quita_salto(std::string& linea) {
    if (!linea.empty() && linea.back() == '\n') {
        linea.pop_back();
    }
}

}  // namespace

std::string lee_entorno(const char* nombre) {
    const char* valor = std::getenv(nombre);
    return valor != nullptr ? valor : "";
}

std::string traduce_modo_texto(std::string_view bruto) {
    std::string texto;
    texto.reserve(bruto.size());
    for (std::size_t i = 0; i < bruto.size() && bruto[i] != kFinDeTexto; ++i) {
        const bool cr_lf = bruto[i] == '\r' && i + 1 < bruto.size() && bruto[i + 1] == '\n';
        i += cr_lf ? 1 : 0;
        texto += bruto[i];
    }
    return texto;
}

std::string primera_linea(std::string_view texto) {
    const std::size_t salto = texto.substr(0, kMaximoAviso).find('\n');
    std::string_view linea =
        texto.substr(0, salto == std::string_view::npos ? kMaximoAviso : salto + 1);
    // A 0 byte ends the text the line reader gives.
    return std::string(linea.substr(0, linea.find('\0')));
}

std::string aviso_de(std::string_view texto) {
    std::string linea = primera_linea(texto);
    quita_salto(linea);
    return linea;
}

std::string ruta_aviso(std::string_view directorio) {
    std::string ruta(directorio);
    ruta += kSeparadorRuta;
    ruta += "kexo.ini";
    return ruta;
}

std::string lee_copyright(std::string_view phprc) {
    traza("lee_copyright. inicio\n");
    const std::string directorio(phprc);
    traza("lee_copyright. PHPRC=%s\n", directorio.c_str());
    if (directorio.empty()) {
        return std::string();
    }
    const std::string ruta = ruta_aviso(directorio);
    traza("lee_copyright. abre (%s)\n", ruta.c_str());
    const archivo fichero = abre_si_regular(ruta.c_str(), kHayModoTexto ? "r" : "rb");
    if (!fichero) {
        return std::string();
    }
    const std::string texto = lee_inicio(fichero.get());
    if (nivel_traza >= 2) {
        // The line as read, its LF still there.
        const std::string linea = primera_linea(texto);
        if (!linea.empty()) {
            traza_bytes("scopy. ultimo: r=%d  [%x:%c,%x:%c,%x:c]\n", linea, 0,
                        static_cast<std::int64_t>(linea.size()));
        }
    }
    const std::string scopy = aviso_de(texto);
    traza("lee_copyright. lee (%s)\n", scopy.c_str());
    return scopy;
}

int lee_aviso(const std::string& ruta, std::string& scopy) {
    scopy.clear();
    errno = 0;
    const archivo fichero = abre_si_regular(ruta.c_str(), kHayModoTexto ? "r" : "rb");
    if (!fichero) {
        return errno != 0 ? errno : kAvisoNoRegular;
    }
    int error = 0;
    scopy = aviso_de(lee_inicio(fichero.get(), &error));
    return error;
}

colocacion_aviso coloca_aviso(std::string_view scopy, std::string_view inicio) {
    colocacion_aviso donde;
    if (scopy.empty()) {
        return donde;
    }
    if (empieza_con_interprete(inicio)) {
        const std::size_t salto = inicio.find('\n');
        if (salto == std::string_view::npos) {
            return donde;  // a first line longer than what was read: as before
        }
        donde.antes = inicio.substr(0, salto + 1);
    }
    donde.en_apertura = empieza_con_declare(inicio);
    return donde;
}

std::string texto_cabecera(std::string_view scopy, const colocacion_aviso& donde) {
    if (scopy.empty()) {
        return std::string();
    }
    std::string cabecera(donde.antes);
    cabecera += "<?php\n// ";
    cabecera.append(scopy);
    cabecera += donde.en_apertura ? "\n" : "\n?>\n";
    return cabecera;
}

std::int64_t bytes_anadidos(std::string_view scopy, const colocacion_aviso& donde) {
    if (scopy.empty()) {
        return 0;
    }
    const auto cabecera = static_cast<std::int64_t>(texto_cabecera(scopy, donde).size());
    return cabecera - (donde.en_apertura ? static_cast<std::int64_t>(kBytesApertura) : 0);
}

std::int64_t lineas_anadidas(std::string_view scopy, const colocacion_aviso& donde) {
    const std::string cabecera = texto_cabecera(scopy, {{}, donde.en_apertura});
    return static_cast<std::int64_t>(std::count(cabecera.begin(), cabecera.end(), '\n'));
}

std::string con_cabecera(std::string_view scopy, const colocacion_aviso& donde,
                         std::string_view texto) {
    if (scopy.empty()) {
        return std::string(texto);
    }
    std::string entero = texto_cabecera(scopy, donde);
    entero.append(texto.substr(std::min(texto.size(), donde.en_apertura ? kBytesApertura : 0)));
    return entero;
}

bool escribe_cabecera(std::FILE* destino, std::string_view scopy, const colocacion_aviso& donde) {
    if (scopy.empty()) {
        return true;
    }
    traza("dentro escritura\n");
    const std::string cabecera = texto_cabecera(scopy, donde);
    return std::fwrite(cabecera.data(), 1, cabecera.size(), destino) == cabecera.size();
}

std::string rechazo_aviso(std::string_view scopy, bool reglas_php) {
    if (scopy.find("?>") != std::string_view::npos) {
        return "contiene ?>";
    }
    if (scopy.find('\r') != std::string_view::npos) {
        return "contiene un CR";
    }
    if (reglas_php && scopy.find("*/") != std::string_view::npos) {
        return "contiene */";
    }
    return "";
}

}  // namespace kexo
