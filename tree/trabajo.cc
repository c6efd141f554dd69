#include "tree/trabajo.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "common/plataforma.h"
#include "compaction/compacta.h"
#include "driver/compactando.h"
#include "driver/destino.h"
#include "driver/escritor.h"
#include "driver/lectura.h"
#include "lexical/lexico_php.h"
#include "lexical/reglas_php.h"
#include "notice/aviso.h"

namespace kexo {

namespace {

// Not an error number: a folder that is no longer what it was.
constexpr int kCambiada = -1;

// The error reported for a destination folder that is no longer the one made.
#ifdef ESTALE
constexpr int kDestinoCambiado = ESTALE;
#else
constexpr int kDestinoCambiado = EIO;
#endif

informe_trabajo con(resultado_trabajo resultado) {
    informe_trabajo informe;
    informe.resultado = resultado;
    return informe;
}

informe_trabajo falla(int error, bool al_leer) {
    informe_trabajo informe;
    informe.resultado = resultado_trabajo::fallido;
    informe.error = error > 0 ? error : EIO;
    informe.al_leer = al_leer;
    return informe;
}

// The folder of index `indice` (kNinguna: the root `raiz` itself), kept open
// in `uso`, opened beneath the root when it is not the one open there.
// `es_esa` tells whether what was opened is the folder expected. Returns
// null, with the error number or kCambiada in `error`, when it cannot be had.
template <typename Comprobacion>
const carpeta* abre_en_uso(const carpeta& raiz, const std::vector<entrada>& entradas,
                           std::size_t indice, carpeta_en_uso& uso, int& error,
                           Comprobacion es_esa) {
    if (indice == kNinguna) {
        return &raiz;
    }
    if (uso.valida && uso.indice == indice) {
        return &uso.abierta;
    }
    uso.valida = false;
    uso.abierta.cierra();
    nodo visto;
    error = abre_carpeta_bajo(raiz, entradas[indice].ruta, uso.abierta, visto);
    if (error == ELOOP || error == ENOTDIR || (error == 0 && !es_esa(visto))) {
        error = kCambiada;  // a link, a file, or another folder where it was
    }
    if (error != 0) {
        uso.abierta.cierra();
        return nullptr;
    }
    uso.indice = indice;
    uso.valida = true;
    return &uso.abierta;
}

// The source folder of index `indice`, still the one the walk saw.
const carpeta* carpeta_origen(const espejo& obra, std::size_t indice, carpeta_en_uso& uso,
                              int& error) {
    return abre_en_uso(obra.origen, obra.entradas, indice, uso, error, [&](const nodo& visto) {
        return sigue_igual(obra.entradas[indice], visto);
    });
}

// The destination folder made for the folder of index `indice`.
const carpeta* carpeta_copia(const espejo& obra, std::size_t indice, carpeta_en_uso& uso,
                             int& error) {
    if (indice != kNinguna && obra.hechas[indice].clase == clase_nodo::ninguno) {
        error = ENOENT;  // it could not be made
        return nullptr;
    }
    const carpeta* abierta =
        abre_en_uso(obra.destino, obra.entradas, indice, uso, error, [&](const nodo& visto) {
            return obra.hechas[indice].numero == 0 || mismo_nodo(visto, obra.hechas[indice]);
        });
    if (error == kCambiada) {
        error = kDestinoCambiado;
    }
    return abierta;
}

// The report for a source folder that could not be had.
informe_trabajo sin_origen(int error) {
    return error == kCambiada ? con(resultado_trabajo::cambiado) : falla(error, true);
}

// Looks the entry `que` up in its source folder, without opening it: puts
// that folder in `de` and what is there in `visto`. Returns the report when
// it cannot be had or is no longer what the walk saw.
std::optional<informe_trabajo> busca_en_origen(const espejo& obra, const entrada& que,
                                               taller& banco, const carpeta*& de, nodo& visto) {
    int error = 0;
    de = carpeta_origen(obra, que.padre, banco.origen, error);
    if (de == nullptr) {
        return sin_origen(error);
    }
    if ((error = examina_en(*de, nombre_de(que), visto)) != 0 ||
        visto.clase == clase_nodo::ninguno) {
        return falla(error != 0 ? error : ENOENT, true);
    }
    if (!sigue_igual(que, visto)) {
        return con(resultado_trabajo::cambiado);
    }
    return std::nullopt;
}

// Writes `cuerpo`, after the header for the notice `aviso` placed as `donde`
// says, as the file `nombre` in `a`, whole or not at all, with the attributes
// of `original`. Returns 0, or the error number.
int escribe_fichero(const carpeta& a, const std::string& nombre, std::string_view aviso,
                    const colocacion_aviso& donde, std::string_view cuerpo, std::FILE* original,
                    tiempos_fases* tiempos) {
    destino salida;
    salida.conserva_atributos_de(original);
    salida.mide_en(tiempos);
    medida escribiendo(tiempos, fase::escritura);
    if (const int error = salida.abre_en(carpeta_destino(a), nombre); error != 0) {
        return error;
    }
    escritor_destino escritor(salida.flujo(), aviso, donde, 0);
    escritor.escribe(cuerpo);
    const bool escrito = escribe_destino(escritor);
    escribiendo.termina();
    if (salida.confirma(escrito)) {
        return 0;
    }
    return escritor.error() != 0 ? escritor.error() : errno;
}

// Copies `origen` as it is, in bounded pieces, as the entry `que`.
informe_trabajo copia_fichero(const espejo& obra, const entrada& que, std::FILE* origen,
                              resultado_trabajo resultado, taller& banco) {
    informe_trabajo informe = con(resultado);
    informe.antes = static_cast<std::uint64_t>(std::max<std::int64_t>(0, tamano_de(origen)));
    informe.despues = informe.antes;
    if (obra.opciones.simula) {
        return informe;
    }
    medida copiando(banco.tiempos, fase::copia);
    int error = 0;
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return falla(error, false);
    }
    destino salida;
    salida.conserva_atributos_de(origen);
    salida.mide_en(banco.tiempos);
    if ((error = salida.abre_en(carpeta_destino(*a), nombre_de(que))) != 0) {
        return falla(error, false);
    }
    const copia_hecha copia = copia_contenido(origen, salida.flujo(), banco.bloque);
    copiando.termina();
    if (copia.error != 0) {
        return falla(copia.error, copia.al_leer);
    }
    if (!salida.confirma(true)) {
        return falla(errno, false);
    }
    informe.antes = copia.bytes;
    informe.despues = copia.bytes;
    return informe;
}

// A PHP file too large to be held whole, compacted as it is read, unchecked.
informe_trabajo compacta_por_bloques(const espejo& obra, const entrada& que, std::FILE* origen,
                                     std::int64_t tamano, taller& banco) {
    const std::string& scopy = obra.opciones.scopy;
    std::string inicio;
    if (const int error = lee_inicio_para_aviso(origen, scopy, inicio); error != 0) {
        return falla(error, true);
    }
    const colocacion_aviso donde = coloca_aviso(scopy, inicio);
    destino salida;
    std::optional<escritor_destino> escritor;
    if (!obra.opciones.simula) {
        int error = 0;
        const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
        if (a == nullptr) {
            return falla(error, false);
        }
        salida.conserva_atributos_de(origen);
        if ((error = salida.abre_en(carpeta_destino(*a), nombre_de(que))) != 0) {
            return falla(error, false);
        }
        escritor.emplace(salida.flujo(), scopy, donde, 0);
    }
    std::uint64_t texto = 0;
    const receptor recibe = [&](std::string_view bytes) {
        texto += bytes.size();
        if (escritor) {
            escritor->escribe(bytes);
        }
    };
    compactacion compactando(obra.opciones.via);
    // A `#!` line before the header is written as it is, not compacted.
    compactando.anade(std::string_view(inicio).substr(donde.antes.size()), recibe);
    lectura leida = lee_compactando(origen, tamano, compactando, recibe, nullptr);
    leida.bytes += static_cast<std::int64_t>(inicio.size());
    if (leida.error != 0) {
        return falla(leida.error, true);
    }
    compactando.concluye(recibe);
    informe_trabajo informe = con(resultado_trabajo::compactado);
    informe.antes = static_cast<std::uint64_t>(leida.bytes);
    informe.despues =
        texto + texto_cabecera(scopy, donde).size() - (donde.en_apertura ? kBytesApertura : 0);
    if (escritor && !salida.confirma(escribe_destino(*escritor))) {
        return falla(escritor->error() != 0 ? escritor->error() : errno, false);
    }
    return informe;
}

// What is written for a PHP file: its text after the header for `aviso`,
// placed as `donde` says.
struct escrito_php {
    resultado_trabajo resultado;
    std::string texto;
    std::string_view aviso;
    colocacion_aviso donde;
    comparacion mismo{true, 0};
};

// kexo's bytes for `fuente`, when they keep what a program sees (or unchecked).
escrito_php por_reglas_de_kexo(std::string_view fuente, const opciones_trabajo& opciones,
                               tiempos_fases* tiempos) {
    escrito_php e{resultado_trabajo::compactado, std::string(), opciones.scopy, {}};
    medida compactando(tiempos, fase::compactacion);
    // A `#!` line before the header stays as it is, not compacted.
    e.donde = coloca_aviso(opciones.scopy, fuente);
    const std::string_view antes = e.donde.antes;
    e.texto = compacta_fuente(fuente.substr(antes.size()), nullptr, opciones.via).bytes;
    compactando.termina();
    if (opciones.comprueba) {
        const medida comprobando(tiempos, fase::comprobacion);
        e.mismo = antes.empty() ? compara_php(fuente, e.texto)
                                : compara_php(fuente, std::string(antes) + e.texto);
    }
    return e;
}

// PHP's rules for `fuente`, the notice inside the first open tag, when every
// token stays what and where it was (or unchecked).
escrito_php por_reglas_de_php(std::string_view fuente, const opciones_trabajo& opciones,
                              tiempos_fases* tiempos) {
    medida compactando(tiempos, fase::compactacion);
    escrito_php e{resultado_trabajo::compactado_php, compacta_php(fuente), {}, {}};
    compactando.termina();
    if (opciones.comprueba) {
        const medida comprobando(tiempos, fase::comprobacion);
        e.mismo = compara_php(fuente, e.texto, modo_comparacion::lineas);
    }
    if (!opciones.scopy.empty()) {
        const medida con_aviso(tiempos, fase::compactacion);
        e.texto = con_aviso_php(e.texto, opciones.scopy);
    }
    return e;
}

// What to write for the PHP file `fuente`: kexo's bytes where they keep what
// a program sees, else (or in PHP's mode) PHP's rules where those do, else the
// source as it is, with why kexo's bytes could not be written.
escrito_php que_escribir(std::string_view fuente, const opciones_trabajo& opciones,
                         tiempos_fases* tiempos) {
    comparacion por_que{true, 0};
    if (opciones.modo == modo_reglas::kexo) {
        escrito_php kexo = por_reglas_de_kexo(fuente, opciones, tiempos);
        if (kexo.mismo.iguales) {
            return kexo;
        }
        por_que = kexo.mismo;
    }
    // A notice that does not fit a /* */ comment cannot go with PHP's rules.
    if (opciones.scopy.empty() || aviso_cabe_en_comentario(opciones.scopy)) {
        escrito_php php = por_reglas_de_php(fuente, opciones, tiempos);
        if (php.mismo.iguales) {
            return php;
        }
        por_que = opciones.modo == modo_reglas::php ? php.mismo : por_que;
    }
    escrito_php igual{resultado_trabajo::sin_compactar, std::string(fuente), {}, {}};
    igual.mismo = por_que;
    return igual;
}

// A PHP file read whole: compacted by the rules that keep what its program
// sees, else as it is.
informe_trabajo compacta_entero(const espejo& obra, const entrada& que, std::FILE* origen,
                                taller& banco) {
    medida leyendo(banco.tiempos, fase::lectura);
    if (const int error = lee_entero(origen, banco.fuente, kMaximoComprobado); error != 0) {
        // Grown past the size it had when opened.
        return error == EFBIG ? con(resultado_trabajo::cambiado) : falla(error, true);
    }
    leyendo.termina();
    const opciones_trabajo& opciones = obra.opciones;
    const escrito_php e = que_escribir(banco.fuente, opciones, banco.tiempos);
    informe_trabajo informe = con(e.resultado);
    informe.antes = banco.fuente.size();
    informe.linea = e.mismo.linea;
    informe.motivo = e.mismo.motivo;
    informe.despues = e.texto.size() + texto_cabecera(e.aviso, e.donde).size() -
                      (!e.aviso.empty() && e.donde.en_apertura ? kBytesApertura : 0);
    if (opciones.simula) {
        return informe;
    }
    medida abriendo(banco.tiempos, fase::escritura);
    int error = 0;
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return falla(error, false);
    }
    abriendo.termina();
    if ((error = escribe_fichero(*a, nombre_de(que), e.aviso, e.donde, e.texto, origen,
                                 banco.tiempos)) != 0) {
        return falla(error, false);
    }
    return informe;
}

// A file: opened as what the walk saw, or left out; then copied or compacted.
informe_trabajo procesa_fichero(const espejo& obra, std::size_t i, taller& banco) {
    const entrada& que = obra.entradas[i];
    medida abriendo(banco.tiempos, que.tipo == tipo_entrada::otro ? fase::copia : fase::lectura);
    int error = 0;
    const carpeta* de = carpeta_origen(obra, que.padre, banco.origen, error);
    if (de == nullptr) {
        return sin_origen(error);
    }
    nodo visto;
    const archivo origen = abre_fichero_en(*de, nombre_de(que), visto);
    abriendo.termina();
    if (!origen) {
        // Something else than a regular file there now: never opened.
        return visto.clase != clase_nodo::ninguno ? con(resultado_trabajo::cambiado)
                                                  : falla(errno, true);
    }
    if (!sigue_igual(que, visto)) {
        return con(resultado_trabajo::cambiado);
    }
    if (que.tipo == tipo_entrada::otro) {
        return copia_fichero(obra, que, origen.get(), resultado_trabajo::copiado, banco);
    }
    if (visto.tamano > kMaximoComprobado) {
        return obra.opciones.comprueba
                   ? copia_fichero(obra, que, origen.get(), resultado_trabajo::demasiado_grande,
                                   banco)
                   : compacta_por_bloques(obra, que, origen.get(), visto.tamano, banco);
    }
    return compacta_entero(obra, que, origen.get(), banco);
}

// A link: made again with the same target, its owner and times.
informe_trabajo copia_enlace(const espejo& obra, std::size_t i, taller& banco) {
    const entrada& que = obra.entradas[i];
    const std::string nombre = nombre_de(que);
    const carpeta* de = nullptr;
    nodo visto;
    if (auto informe = busca_en_origen(obra, que, banco, de, visto)) {
        return *informe;
    }
    std::string objetivo;
    int error = lee_enlace_en(*de, nombre, objetivo);
    if (error == EINVAL) {
        return con(resultado_trabajo::cambiado);  // no longer a link
    }
    if (error != 0) {
        return falla(error, true);
    }
    if (obra.opciones.simula) {
        return con(resultado_trabajo::hecho);
    }
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return falla(error, false);
    }
    if ((error = coloca_enlace(carpeta_destino(*a), nombre, objetivo, *de, nombre)) != 0) {
        return falla(error, false);
    }
    return con(resultado_trabajo::hecho);
}

// Does `trabajo`, and reports what it throws for the entry: nothing escapes
// a worker. Memory that ran out is given back first.
template <typename Trabajo>
informe_trabajo a_salvo(taller& banco, Trabajo trabajo) {
    try {
        return trabajo();
    } catch (const std::bad_alloc&) {
        std::string().swap(banco.fuente);
        std::string().swap(banco.bloque);
        return con(resultado_trabajo::sin_memoria);
    } catch (...) {
        return falla(EIO, false);
    }
}

bool es_carpeta_de_origen(const espejo& obra, const nodo& visto) {
    return visto.numero != 0 &&
           std::binary_search(obra.carpetas_origen.begin(), obra.carpetas_origen.end(),
                              std::make_pair(visto.dispositivo, visto.numero));
}

}  // namespace

espejo::espejo(const carpeta& origen_, const carpeta& destino_,
               const std::vector<entrada>& entradas_, const opciones_trabajo& opciones_,
               const nodo& raiz_origen)
    : origen(origen_),
      destino(destino_),
      entradas(entradas_),
      opciones(opciones_),
      hechas(entradas_.size()) {
    carpetas_origen.emplace_back(raiz_origen.dispositivo, raiz_origen.numero);
    for (const entrada& e : entradas) {
        if (e.tipo == tipo_entrada::carpeta) {
            carpetas_origen.emplace_back(e.dispositivo, e.numero);
        }
    }
    std::sort(carpetas_origen.begin(), carpetas_origen.end());
}

informe_trabajo crea_carpeta(espejo& obra, std::size_t i) {
    if (obra.opciones.simula) {
        return con(resultado_trabajo::hecho);
    }
    taller banco;
    return a_salvo(banco, [&] {
        const entrada& que = obra.entradas[i];
        int error = 0;
        const carpeta* en = carpeta_copia(obra, que.padre, banco.destino, error);
        if (en == nullptr) {
            return falla(error, false);
        }
        const std::string nombre = nombre_de(que);
        if ((error = crea_carpeta_en(*en, nombre)) != 0) {
            return falla(error, false);
        }
        carpeta hecha;
        nodo visto;
        if ((error = abre_carpeta_bajo(*en, nombre, hecha, visto)) != 0) {
            return falla(error, false);
        }
        // A source folder reached through the destination (a mount): never written.
        if (es_carpeta_de_origen(obra, visto)) {
            return falla(ELOOP, false);
        }
        obra.hechas[i] = visto;
        borra_temporales_abandonados(hecha);
        return con(resultado_trabajo::hecho);
    });
}

informe_trabajo procesa_entrada(const espejo& obra, std::size_t i, taller& banco) {
    return a_salvo(banco, [&] {
        switch (obra.entradas[i].tipo) {
            case tipo_entrada::especial:
                return con(resultado_trabajo::omitido);
            case tipo_entrada::carpeta:
                return con(resultado_trabajo::hecho);  // made beforehand
            case tipo_entrada::enlace:
                return copia_enlace(obra, i, banco);
            default:
                return procesa_fichero(obra, i, banco);
        }
    });
}

informe_trabajo enlaza_entrada(const espejo& obra, std::size_t i,
                               const informe_trabajo& del_principal, taller& banco) {
    const resultado_trabajo hecho = del_principal.resultado;
    if (hecho != resultado_trabajo::compactado && hecho != resultado_trabajo::sin_compactar &&
        hecho != resultado_trabajo::demasiado_grande && hecho != resultado_trabajo::copiado) {
        return procesa_entrada(obra, i, banco);  // nothing to link to
    }
    return a_salvo(banco, [&] {
        const entrada& que = obra.entradas[i];
        const std::string nombre = nombre_de(que);
        const carpeta* de = nullptr;
        nodo visto;
        if (auto informe = busca_en_origen(obra, que, banco, de, visto)) {
            return *informe;
        }
        if (obra.opciones.simula) {
            return del_principal;
        }
        int error = 0;
        const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
        if (a == nullptr) {
            return falla(error, false);
        }
        const entrada& principal = obra.entradas[que.principal];
        carpeta_en_uso otra;
        const carpeta* de_principal =
            principal.padre == que.padre ? a : carpeta_copia(obra, principal.padre, otra, error);
        if (de_principal != nullptr &&
            coloca_enlace_duro(carpeta_destino(*de_principal), nombre_de(principal),
                               carpeta_destino(*a), nombre) == 0) {
            return del_principal;
        }
        // No link to be had (another file system, say): a copy of its own.
        otra.abierta.cierra();
        return procesa_fichero(obra, i, banco);
    });
}

informe_trabajo remata_carpeta(const espejo& obra, std::size_t i) {
    taller banco;
    return a_salvo(banco, [&] {
        int error = 0;
        const carpeta* de = carpeta_origen(obra, i, banco.origen, error);
        if (de == nullptr) {
            return sin_origen(error);
        }
        const carpeta* a = carpeta_copia(obra, i, banco.destino, error);
        if (a == nullptr) {
            return falla(error, false);
        }
        if ((error = copia_atributos_carpeta(*de, *a)) != 0) {
            return falla(error, false);
        }
        return con(resultado_trabajo::hecho);
    });
}

}  // namespace kexo
