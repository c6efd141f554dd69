#include "tree/trabajo.h"

#include <cerrno>
#include <system_error>

#include "compaction/compacta.h"
#include "driver/destino.h"
#include "driver/escritor.h"
#include "driver/lectura.h"
#include "lexical/lexico_php.h"
#include "notice/aviso.h"

namespace kexo {

namespace fs = std::filesystem;

namespace {

informe_trabajo falla(int error, bool al_leer) {
    informe_trabajo informe;
    informe.resultado = resultado_trabajo::fallido;
    informe.error = error != 0 ? error : EIO;
    informe.al_leer = al_leer;
    return informe;
}

// Writes `cabecera` and `cuerpo` as the file `ruta`, whole or not at all,
// with the permission bits and times of `original`. Returns 0, or the error number.
int escribe_fichero(const fs::path& ruta, std::string_view cabecera, std::string_view cuerpo,
                    std::FILE* original) {
    destino salida;
    salida.conserva_atributos_de(original);
    if (const int error = salida.abre(ruta.string()); error != 0) {
        return error;
    }
    escritor_destino escritor(salida.flujo(), cabecera, 0);
    escritor.escribe(cuerpo);
    errno = 0;
    return salida.confirma(escribe_destino(escritor)) ? 0 : (errno != 0 ? errno : EIO);
}

// Gives the folder `copia` the permission bits and modification time of `original`.
int conserva_atributos(const fs::path& original, const fs::path& copia) {
#ifdef _WIN32
    // Windows has no times of a folder's own to set here, nor permission bits.
    static_cast<void>(original);
    static_cast<void>(copia);
    return 0;
#else
    std::error_code error;
    fs::permissions(copia, fs::status(original, error).permissions(), error);
    if (!error) {
        fs::last_write_time(copia, fs::last_write_time(original, error), error);
    }
    return error.value();
#endif
}

// Replaces `ruta` by a link to what the link `original` points to.
int copia_enlace(const fs::path& original, const fs::path& ruta) {
    std::error_code error;
    const fs::path objetivo = fs::read_symlink(original, error);
    const fs::path nuevo = ruta.string() + ".kexo-enlace";
    fs::remove(nuevo, error);
    if (!error) {
        fs::create_symlink(objetivo, nuevo, error);
    }
    if (!error) {
        fs::rename(nuevo, ruta, error);
    }
    return error.value();
}

// A PHP file, or another one: read, compacted if PHP and safe, written.
informe_trabajo procesa_fichero(const fs::path& de, const fs::path& a, const entrada& que,
                                const opciones_trabajo& opciones, taller& banco) {
    const archivo origen = abre_origen(de.string().c_str());
    if (!origen) {
        return falla(errno, true);
    }
    if (const int error = lee_entero(origen.get(), banco.fuente); error != 0) {
        return falla(error, true);
    }
    informe_trabajo informe;
    informe.resultado = resultado_trabajo::copiado;
    informe.antes = banco.fuente.size();
    std::string_view cabecera;
    std::string compactado;
    std::string_view cuerpo = banco.fuente;
    if (que.tipo == tipo_entrada::php) {
        compactado = compacta_fuente(banco.fuente, nullptr, opciones.ruta).bytes;
        const comparacion mismo =
            opciones.comprueba ? compara_php(banco.fuente, compactado) : comparacion{true, 0};
        informe.resultado =
            mismo.iguales ? resultado_trabajo::compactado : resultado_trabajo::sin_compactar;
        informe.linea = mismo.linea;
        if (mismo.iguales) {
            cabecera = opciones.scopy;
            cuerpo = compactado;
        }
    }
    informe.despues = cuerpo.size() + texto_cabecera(cabecera).size();
    if (!opciones.simula) {
        if (const int error = escribe_fichero(a, cabecera, cuerpo, origen.get()); error != 0) {
            return falla(error, false);
        }
    }
    return informe;
}

}  // namespace

informe_trabajo procesa_entrada(const fs::path& origen, const fs::path& destino, const entrada& que,
                                const opciones_trabajo& opciones, taller& banco) {
    const fs::path de = origen / fs::u8path(que.ruta);
    const fs::path a = destino / fs::u8path(que.ruta);
    if (opciones.simula) {
        return que.tipo == tipo_entrada::php || que.tipo == tipo_entrada::otro
                   ? procesa_fichero(de, a, que, opciones, banco)
                   : informe_trabajo{que.tipo == tipo_entrada::especial ? resultado_trabajo::omitido
                                                                        : resultado_trabajo::hecho};
    }
    std::error_code error;
    switch (que.tipo) {
        case tipo_entrada::carpeta:
            fs::create_directory(a, error);
            return error ? falla(error.value(), false) : informe_trabajo{};
        case tipo_entrada::enlace:
            error.assign(copia_enlace(de, a), std::generic_category());
            return error ? falla(error.value(), false) : informe_trabajo{};
        case tipo_entrada::especial:
            return informe_trabajo{resultado_trabajo::omitido};
        default:
            return procesa_fichero(de, a, que, opciones, banco);
    }
}

informe_trabajo remata_carpeta(const fs::path& origen, const fs::path& destino,
                               const entrada& que) {
    if (const int error =
            conserva_atributos(origen / fs::u8path(que.ruta), destino / fs::u8path(que.ruta));
        error != 0) {
        return falla(error, false);
    }
    return informe_trabajo{};
}

}  // namespace kexo
