#include "tree/trabajo.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "common/ficheros.h"
#include "compaction/compacta.h"
#include "lexical/lectura_php.h"
#include "lexical/lexico_php.h"
#include "lexical/reglas_php.h"
#include "notice/aviso.h"
#include "salida/compactando.h"
#include "salida/destino.h"
#include "salida/escritor.h"
#include "salida/lectura.h"
#include "tree/estado.h"

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

// Lets go of the folder kept in `uso`.
void suelta(carpeta_en_uso& uso) {
    uso.valida = false;
    uso.abierta.cierra();
    if (uso.compartida) {
        uso.reserva->suelta(uso.indice, uso.compartida);
    }
}

// The folder of index `indice` (kNinguna: the root `raiz` itself), kept open
// in `uso`: the one another worker holds, or opened beneath the root when
// none does. `es_esa` tells whether what was opened is the folder expected.
// Returns null, with the error number or kCambiada in `error`, when it cannot
// be had.
template <typename Comprobacion>
const carpeta* abre_en_uso(const carpeta& raiz, const std::vector<entrada>& entradas,
                           std::size_t indice, carpeta_en_uso& uso, int& error,
                           Comprobacion es_esa) {
    if (indice == kNinguna) {
        return &raiz;
    }
    if (uso.valida && uso.indice == indice) {
        return uso.compartida ? uso.compartida.get() : &uso.abierta;
    }
    suelta(uso);
    if (uso.reserva != nullptr && (uso.compartida = uso.reserva->busca(indice))) {
        uso.indice = indice;
        uso.valida = true;
        return uso.compartida.get();
    }
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
    if (uso.reserva != nullptr) {
        uso.compartida = uso.reserva->comparte(indice, std::move(uso.abierta));
        return uso.compartida.get();
    }
    return &uso.abierta;
}

}  // namespace

informe_trabajo informe_de(resultado_trabajo resultado) {
    informe_trabajo informe;
    informe.resultado = resultado;
    return informe;
}

informe_trabajo informe_fallido(int error, bool al_leer) {
    informe_trabajo informe;
    informe.resultado = resultado_trabajo::fallido;
    informe.error = error > 0 ? error : EIO;
    informe.al_leer = al_leer;
    return informe;
}

const carpeta* carpeta_origen(const espejo& obra, std::size_t indice, carpeta_en_uso& uso,
                              int& error) {
    return abre_en_uso(obra.origen, obra.entradas, indice, uso, error, [&](const nodo& visto) {
        return sigue_igual(obra.entradas[indice], visto);
    });
}

namespace {

// The destination folder made for the folder of index `indice`.
const carpeta* carpeta_copia(const espejo& obra, std::size_t indice, carpeta_en_uso& uso,
                             int& error) {
    if (indice != kNinguna && obra.hecha(indice).clase == clase_nodo::ninguno) {
        error = ENOENT;  // it could not be made
        return nullptr;
    }
    const carpeta* abierta =
        abre_en_uso(obra.destino, obra.entradas, indice, uso, error, [&](const nodo& visto) {
            return obra.hecha(indice).numero == 0 || mismo_nodo(visto, obra.hecha(indice));
        });
    if (error == kCambiada) {
        error = kDestinoCambiado;
    }
    return abierta;
}

bool es_carpeta_de_origen(const espejo& obra, const nodo& visto) {
    return visto.numero != 0 &&
           std::binary_search(obra.carpetas_origen.begin(), obra.carpetas_origen.end(),
                              std::make_pair(visto.dispositivo, visto.numero));
}

// The report for a source folder that could not be had.
informe_trabajo sin_origen(int error) {
    return error == kCambiada ? informe_de(resultado_trabajo::cambiado)
                              : informe_fallido(error, true);
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
        return informe_fallido(error != 0 ? error : ENOENT, true);
    }
    if (!sigue_igual(que, visto)) {
        return informe_de(resultado_trabajo::cambiado);
    }
    return std::nullopt;
}

// What the destination held for an entry before this run wrote it.
struct previo {
    nodo visto;           // the entry there, its link not followed
    marca_fichero marca;  // its record, when it has one that reads
    vigencia estado = vigencia::vieja;
};

// Puts in `suma` the sum of the bytes of the file open as `fd`, read from
// its start. Returns 0, or the error number of reading.
int suma_descriptor(int fd, std::uint64_t& suma) {
    char bloque[1 << 16];
    sumador sumando;
    for (std::int64_t en = 0;;) {
        const leido hecho = lee_en(fd, bloque, sizeof bloque, en);
        if (hecho.error != 0) {
            return hecho.error;
        }
        if (hecho.bytes == 0) {
            break;
        }
        sumando.anade(std::string_view(bloque, hecho.bytes));
        en += static_cast<std::int64_t>(hecho.bytes);
    }
    suma = sumando.concluye();
    return 0;
}

// The record kept on a file written from the source `fuente`, as it was
// opened, and reported as `hecho`: what was written is the file's own, its
// attributes set. `escritos`, when given, has summed every byte written to
// it, which then need not be read back.
std::function<void(int, const nodo*)> marcador(const espejo& obra, const entrada& que,
                                               const nodo& fuente, tipo_suma tipo,
                                               std::uint64_t suma, const informe_trabajo& hecho,
                                               const sumador* escritos = nullptr) {
    marca_fichero marca;
    marca.clave = clave_de_ruta(obra.opciones.clave, que.ruta);
    marca.origen = fuente;
    marca.tipo = tipo;
    marca.suma = suma;
    marca.resultado = static_cast<std::uint32_t>(hecho.resultado);
    marca.motivo = static_cast<std::uint32_t>(hecho.motivo);
    marca.linea = hecho.linea;
    return [marca, escritos](int fd, const nodo* visto) mutable {
        if (escritos != nullptr) {
            marca.suma_escrita = escritos->concluye();
        }
        // What the file is now: as setting its attributes last saw it, or asked.
        if (visto != nullptr) {
            marca.escrito = *visto;
        }
        // Without a record (a file system that keeps none, or bytes that
        // cannot be read back to be summed), the next run writes it again.
        if ((visto != nullptr || nodo_de_descriptor(fd, marca.escrito) == 0) &&
            (marca.tipo != tipo_suma::suma || escritos != nullptr ||
             suma_descriptor(fd, marca.suma_escrita) == 0)) {
            pon_marca(fd, escribe_marca(marca));
        }
    };
}

// The results a record may name.
bool es_resultado_escrito(std::uint32_t resultado) {
    return resultado <= static_cast<std::uint32_t>(resultado_trabajo::al_dia) &&
           es_fichero_escrito(static_cast<resultado_trabajo>(resultado));
}

informe_trabajo al_dia_segun(const marca_fichero& marca) {
    informe_trabajo informe = informe_de(resultado_trabajo::al_dia);
    informe.previo = static_cast<resultado_trabajo>(marca.resultado);
    informe.motivo = marca.motivo <= static_cast<std::uint32_t>(motivo_diferencia::linea)
                         ? static_cast<motivo_diferencia>(marca.motivo)
                         : motivo_diferencia::programa;
    informe.linea = marca.linea;
    informe.antes = static_cast<std::uint64_t>(std::max<std::int64_t>(0, marca.origen.tamano));
    informe.despues = static_cast<std::uint64_t>(std::max<std::int64_t>(0, marca.escrito.tamano));
    return informe;
}

// True when the destination folder for the entries of the folder `padre`
// may hold something from before this run, to be looked at.
bool hay_que_mirar(const espejo& obra, std::size_t padre) {
    return obra.hay_destino &&
           (padre == kNinguna ? !obra.destino_nuevo : obra.ya_estaba(padre) != 0);
}

// Looks at what the destination holds for the file `que` into `antes`.
// Returns the report when it is up to date by its record and the source's
// size and time (without --suma, that is all that is compared).
std::optional<informe_trabajo> mira_destino(const espejo& obra, const entrada& que, taller& banco,
                                            previo& antes) {
    if (!hay_que_mirar(obra, que.padre)) {
        return std::nullopt;
    }
    int error = 0;
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return std::nullopt;  // the write says why
    }
    std::string texto;
    // Whatever goes wrong here only means the file is written again.
    lee_marca_en(*a, nombre_de(que), antes.visto, texto);
    if (texto.empty() || !lee_marca(texto, antes.marca) ||
        !es_resultado_escrito(antes.marca.resultado)) {
        return std::nullopt;
    }
    antes.estado = vigencia_de(antes.marca, clave_de_ruta(obra.opciones.clave, que.ruta),
                               visto_de(que), antes.visto);
    if (antes.estado == vigencia::al_dia && !obra.opciones.suma) {
        return al_dia_segun(antes.marca);
    }
    return std::nullopt;
}

// With --suma: the source `origen` (seen when opened as `fuente`) against the
// content the record knows. Returns the report when they agree, the
// destination's times set again when only they differ (a fresh checkout); or
// nothing, to write the file.
std::optional<informe_trabajo> compara_contenido(const espejo& obra, const entrada& que,
                                                 std::FILE* origen, const nodo& fuente,
                                                 const previo& antes, taller& banco) {
    const marca_fichero& marca = antes.marca;
    if (antes.estado == vigencia::vieja || marca.tipo == tipo_suma::ninguna ||
        fuente.tamano != marca.origen.tamano) {
        return std::nullopt;
    }
    std::uint64_t suma = 0;
    if (suma_descriptor(descriptor_de(origen), suma) != 0) {
        return std::nullopt;
    }
    int error = 0;
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return std::nullopt;
    }
    nodo visto;
    archivo copia;
    if (abre_fichero_en(*a, nombre_de(que), visto, copia) != 0) {
        return std::nullopt;
    }
    std::uint64_t esperada = marca.suma;
    // A copy's record holds no sum: the copy's bytes are the source's.
    if (marca.tipo == tipo_suma::copia &&
        suma_descriptor(descriptor_de(copia.get()), esperada) != 0) {
        return std::nullopt;
    }
    if (suma != esperada) {
        return std::nullopt;
    }
    // A compacted file's own bytes too: one edited in place, its size and
    // time kept, is written again.
    std::uint64_t escrita = 0;
    if (marca.tipo == tipo_suma::suma &&
        (!mismo_nodo(visto, antes.visto) ||
         suma_descriptor(descriptor_de(copia.get()), escrita) != 0 ||
         escrita != marca.suma_escrita)) {
        return std::nullopt;
    }
    if (fuente.tiempo == marca.origen.tiempo || obra.opciones.simula) {
        return al_dia_segun(marca);
    }
    // The same bytes under another time: the copy's times follow, and its record.
    const int fd = descriptor_de(copia.get());
    marca_fichero nueva = marca;
    nueva.origen = fuente;
    if (copia_atributos(fd, origen, &nueva.escrito) != 0 ||
        pon_marca(fd, escribe_marca(nueva)) != 0) {
        return std::nullopt;
    }
    return al_dia_segun(nueva);
}

// Removes a folder that stands in the destination where the source now has
// the file or link `que`, and all it holds. Returns 0, or the error number.
int despeja(const espejo& obra, const entrada& que, const previo& antes, taller& banco) {
    if (obra.opciones.simula || antes.visto.clase != clase_nodo::carpeta) {
        return 0;
    }
    int error = 0;
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return error;
    }
    return borra_arbol_en(
        *a, nombre_de(que), false, [&obra](const nodo& n) { return es_carpeta_de_origen(obra, n); },
        [](const std::string&, const nodo&, int) {});
}

// What a destination file is written from: the source whose attributes it
// takes, the record it is given, and where the time its confirmation takes goes.
struct fuente_escrita {
    std::FILE* original;
    const atributos_origen* vistos;  // the source as last seen, when known
    std::function<void(int, const nodo*)> marca;
    tiempos_fases* tiempos;
};

// Opens `salida` as the destination file of the entry `que`, in the folder
// made for its own, to be put in place with what `de` says. Returns 0, or the
// error number.
int abre_salida(const espejo& obra, const entrada& que, taller& banco, fuente_escrita de,
                destino& salida) {
    int error = 0;
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return error;
    }
    // In a folder this run made, nothing can have the name.
    if (!hay_que_mirar(obra, que.padre)) {
        salida.sin_previo();
    }
    salida.conserva_atributos_de(de.original, de.vistos);
    salida.antes_de_colocar(std::move(de.marca));
    salida.mide_en(de.tiempos);
    return salida.abre_en(*a, nombre_de(que));
}

// Copies `origen` as it is, in bounded pieces, as the entry `que`.
informe_trabajo copia_fichero(const espejo& obra, const entrada& que, std::FILE* origen,
                              const nodo& fuente, resultado_trabajo resultado, taller& banco) {
    informe_trabajo informe = informe_de(resultado);
    informe.antes = static_cast<std::uint64_t>(std::max<std::int64_t>(0, fuente.tamano));
    informe.despues = informe.antes;
    if (obra.opciones.simula) {
        return informe;
    }
    medida copiando(banco.tiempos, fase::copia);
    destino salida;
    if (const int error =
            abre_salida(obra, que, banco,
                        {origen, nullptr, marcador(obra, que, fuente, tipo_suma::copia, 0, informe),
                         banco.tiempos},
                        salida);
        error != 0) {
        return informe_fallido(error, false);
    }
    // The source as the copy last saw it: its attributes need no other look.
    atributos_origen vistos;
    const copia_hecha copia = copia_contenido(origen, salida.flujo(), banco.bloque, &vistos);
    copiando.termina();
    if (copia.error != 0) {
        return informe_fallido(copia.error, copia.al_leer);
    }
    salida.conserva_atributos_de(origen, &vistos);
    if (const int error = salida.confirma(true); error != 0) {
        return informe_fallido(error, false);
    }
    informe.antes = copia.bytes;
    informe.despues = copia.bytes;
    return informe;
}

// A PHP file too large to be held whole, compacted as it is read, unchecked.
informe_trabajo compacta_por_bloques(const espejo& obra, const entrada& que, std::FILE* origen,
                                     const nodo& fuente, taller& banco) {
    const std::int64_t tamano = fuente.tamano;
    const std::string& scopy = obra.opciones.scopy;
    // Read through its stream, which knows no EAGAIN: made to wait first.
    lee_esperando(descriptor_de(origen));
    std::string inicio;
    if (const int error = lee_inicio_para_aviso(origen, scopy, inicio); error != 0) {
        return informe_fallido(error, true);
    }
    const colocacion_aviso donde = coloca_aviso(scopy, inicio);
    destino salida;
    std::optional<escritor_destino> escritor;
    if (!obra.opciones.simula) {
        // Its source passes through in pieces, unsummed: --suma writes it again.
        if (const int error = abre_salida(obra, que, banco,
                                          {origen, nullptr,
                                           marcador(obra, que, fuente, tipo_suma::ninguna, 0,
                                                    informe_de(resultado_trabajo::compactado)),
                                           nullptr},
                                          salida);
            error != 0) {
            return informe_fallido(error, false);
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
        return informe_fallido(leida.error, true);
    }
    compactando.concluye(recibe);
    informe_trabajo informe = informe_de(resultado_trabajo::compactado);
    informe.antes = static_cast<std::uint64_t>(leida.bytes);
    informe.despues = texto + static_cast<std::uint64_t>(bytes_anadidos(scopy, donde));
    if (escritor) {
        if (const int error = salida.confirma(escribe_destino(*escritor)); error != 0) {
            return informe_fallido(escritor->error() != 0 ? escritor->error() : error, false);
        }
    }
    return informe;
}

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
        // The header moves every line below it: a __LINE__ there would change.
        const std::int64_t desfase = lineas_anadidas(opciones.scopy, e.donde);
        const std::string con_antes = antes.empty() ? std::string() : std::string(antes) + e.texto;
        e.mismo = compara_php(fuente, antes.empty() ? std::string_view(e.texto) : con_antes,
                              modo_comparacion::programa, desfase);
    }
    return e;
}

// PHP's rules for `fuente`, the notice inside the first open tag, when every
// token stays what and where it was (or unchecked).
escrito_php por_reglas_de_php(std::string_view fuente, const opciones_trabajo& opciones,
                              tiempos_fases* tiempos) {
    medida compactando(tiempos, fase::compactacion);
    // The check takes the source's tokens as the rules read them.
    lectura_php lectura;
    escrito_php e{resultado_trabajo::compactado_php,
                  opciones.comprueba ? compacta_php(fuente, lectura) : compacta_php(fuente),
                  {},
                  {}};
    compactando.termina();
    if (opciones.comprueba) {
        const medida comprobando(tiempos, fase::comprobacion);
        e.mismo = compara_php(fuente, lectura, e.texto, modo_comparacion::lineas);
    }
    if (!opciones.scopy.empty()) {
        const medida con_aviso(tiempos, fase::compactacion);
        e.texto = con_aviso_php(e.texto, opciones.scopy);
    }
    return e;
}

}  // namespace

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
            // Why kexo's bytes were not written, for the report.
            php.mismo.motivo = por_que.motivo;
            php.mismo.linea = por_que.linea;
            return php;
        }
        por_que = opciones.modo == modo_reglas::php ? php.mismo : por_que;
    }
    escrito_php igual{resultado_trabajo::sin_compactar, std::string(fuente), {}, {}};
    igual.mismo = por_que;
    return igual;
}

namespace {

// A PHP file read whole: compacted by the rules that keep what its program
// sees, else as it is.
informe_trabajo compacta_entero(const espejo& obra, const entrada& que, std::FILE* origen,
                                const nodo& fuente, taller& banco) {
    medida leyendo(banco.tiempos, fase::lectura);
    // The source as the last read left it: its end, and the attributes its copy takes.
    atributos_origen vistos;
    if (const int error =
            lee_entero(origen, banco.fuente, kMaximoComprobado, fuente.tamano, &vistos);
        error != 0) {
        // Grown past the size it had when opened.
        return error == EFBIG ? informe_de(resultado_trabajo::cambiado)
                              : informe_fallido(error, true);
    }
    leyendo.termina();
    const opciones_trabajo& opciones = obra.opciones;
    const escrito_php e = que_escribir(banco.fuente, opciones, banco.tiempos);
    informe_trabajo informe = informe_de(e.resultado);
    informe.antes = banco.fuente.size();
    informe.linea = e.mismo.linea;
    informe.motivo = e.mismo.motivo;
    informe.despues = e.texto.size() + static_cast<std::uint64_t>(bytes_anadidos(e.aviso, e.donde));
    if (opciones.simula) {
        return informe;
    }
    medida escribiendo(banco.tiempos, fase::escritura);
    sumador escritos;
    destino salida;
    if (const int error = abre_salida(obra, que, banco,
                                      {origen, &vistos,
                                       marcador(obra, que, fuente, tipo_suma::suma,
                                                suma_de(banco.fuente), informe, &escritos),
                                       banco.tiempos},
                                      salida);
        error != 0) {
        return informe_fallido(error, false);
    }
    // Written whole or not at all, its bytes summed for its record as they go.
    escritor_destino escritor(salida.flujo(), e.aviso, e.donde, 0);
    escritor.muestra_a([&escritos](std::string_view bytes) { escritos.anade(bytes); });
    escritor.escribe(e.texto);
    const bool escrito = escribe_destino(escritor);
    escribiendo.termina();
    if (const int error = salida.confirma(escrito); error != 0) {
        return informe_fallido(escritor.error() != 0 ? escritor.error() : error, false);
    }
    return informe;
}

// A file: opened as what the walk saw, or left out; then copied or compacted.
informe_trabajo procesa_fichero(const espejo& obra, std::size_t i, taller& banco) {
    const entrada& que = obra.entradas[i];
    previo antes;
    if (auto hecho = mira_destino(obra, que, banco, antes)) {
        return *hecho;
    }
    medida abriendo(banco.tiempos, que.tipo == tipo_entrada::otro ? fase::copia : fase::lectura);
    int error = 0;
    const carpeta* de = carpeta_origen(obra, que.padre, banco.origen, error);
    if (de == nullptr) {
        return sin_origen(error);
    }
    nodo visto;
    archivo origen;
    error = abre_fichero_en(*de, nombre_de(que), visto, origen);
    abriendo.termina();
    if (error != 0) {
        // Something else than a regular file there now: never opened.
        return visto.clase != clase_nodo::ninguno ? informe_de(resultado_trabajo::cambiado)
                                                  : informe_fallido(error, true);
    }
    if (!sigue_igual(que, visto)) {
        return informe_de(resultado_trabajo::cambiado);
    }
    if (obra.opciones.suma) {
        if (auto hecho = compara_contenido(obra, que, origen.get(), visto, antes, banco)) {
            return *hecho;
        }
    }
    if ((error = despeja(obra, que, antes, banco)) != 0) {
        return informe_fallido(error, false);
    }
    if (que.tipo == tipo_entrada::otro) {
        return copia_fichero(obra, que, origen.get(), visto, resultado_trabajo::copiado, banco);
    }
    if (visto.tamano > kMaximoComprobado) {
        return obra.opciones.comprueba
                   ? copia_fichero(obra, que, origen.get(), visto,
                                   resultado_trabajo::demasiado_grande, banco)
                   : compacta_por_bloques(obra, que, origen.get(), visto, banco);
    }
    return compacta_entero(obra, que, origen.get(), visto, banco);
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
        return informe_de(resultado_trabajo::cambiado);  // no longer a link
    }
    if (error != 0) {
        return informe_fallido(error, true);
    }
    if (hay_que_mirar(obra, que.padre)) {
        const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
        previo antes;
        std::string ya;
        // The same target, and the time it was given, as its file system keeps
        // it: left alone.
        if (a != nullptr && examina_en(*a, nombre, antes.visto) == 0 &&
            antes.visto.clase == clase_nodo::enlace && lee_enlace_en(*a, nombre, ya) == 0 &&
            ya == objetivo && mismo_tiempo(que.visto.tiempo, antes.visto.tiempo)) {
            return informe_de(resultado_trabajo::al_dia);
        }
        if ((error = despeja(obra, que, antes, banco)) != 0) {
            return informe_fallido(error, false);
        }
    }
    if (obra.opciones.simula) {
        return informe_de(resultado_trabajo::hecho);
    }
    const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
    if (a == nullptr) {
        return informe_fallido(error, false);
    }
    if ((error = coloca_enlace(*a, nombre, objetivo, *de, nombre)) != 0) {
        return informe_fallido(error, false);
    }
    return informe_de(resultado_trabajo::hecho);
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
        return informe_de(resultado_trabajo::sin_memoria);
    } catch (...) {
        return informe_fallido(EIO, false);
    }
}

}  // namespace

std::shared_ptr<const carpeta> carpetas_compartidas::busca(std::size_t indice) {
    const std::lock_guard<std::mutex> solo(cerrojo_);
    const auto hay = abiertas_.find(indice);
    return hay != abiertas_.end() ? hay->second.lock() : nullptr;
}

std::shared_ptr<const carpeta> carpetas_compartidas::comparte(std::size_t indice, carpeta abierta) {
    auto nueva = std::make_shared<const carpeta>(std::move(abierta));
    const std::lock_guard<std::mutex> solo(cerrojo_);
    std::weak_ptr<const carpeta>& sitio = abiertas_[indice];
    if (auto ya = sitio.lock()) {
        return ya;  // `nueva` closes as it goes
    }
    sitio = nueva;
    return nueva;
}

void carpetas_compartidas::suelta(std::size_t indice, std::shared_ptr<const carpeta>& uso) {
    const std::lock_guard<std::mutex> solo(cerrojo_);
    // Every hold is taken under the lock: the count is exact here.
    if (uso.use_count() == 1) {
        abiertas_.erase(indice);
    }
    uso.reset();
}

espejo::espejo(const carpeta& origen_, const carpeta& destino_,
               const std::vector<entrada>& entradas_, const opciones_trabajo& opciones_,
               const nodo& raiz_origen)
    : origen(origen_), destino(destino_), entradas(entradas_), opciones(opciones_) {
    const auto cuantas = static_cast<std::size_t>(
        std::count_if(entradas.begin(), entradas.end(),
                      [](const entrada& e) { return e.tipo == tipo_entrada::carpeta; }));
    carpetas_.reserve(cuantas);
    carpetas_origen.reserve(cuantas + 1);
    carpetas_origen.emplace_back(raiz_origen.dispositivo, raiz_origen.numero);
    for (std::size_t i = 0; i < entradas.size(); ++i) {
        if (entradas[i].tipo == tipo_entrada::carpeta) {
            carpetas_.push_back(i);
            carpetas_origen.emplace_back(entradas[i].dispositivo, entradas[i].numero);
        }
    }
    std::sort(carpetas_origen.begin(), carpetas_origen.end());
    hechas.resize(cuantas);
    ya_estaban.resize(cuantas, 0);
}

std::size_t espejo::de_carpeta(std::size_t i) const {
    return static_cast<std::size_t>(std::lower_bound(carpetas_.begin(), carpetas_.end(), i) -
                                    carpetas_.begin());
}

void espejo::sin_carpetas_hechas() {
    std::vector<std::size_t>().swap(carpetas_);
    std::vector<nodo>().swap(hechas);
    std::vector<char>().swap(ya_estaban);
}

informe_trabajo crea_carpeta(espejo& obra, std::size_t i) {
    taller banco;
    return crea_carpeta(obra, i, banco);
}

informe_trabajo crea_carpeta(espejo& obra, std::size_t i, taller& banco) {
    return a_salvo(banco, [&] {
        const entrada& que = obra.entradas[i];
        int error = 0;
        const carpeta* en =
            obra.hay_destino ? carpeta_copia(obra, que.padre, banco.destino, error) : nullptr;
        const std::string nombre = nombre_de(que);
        if (obra.opciones.simula) {
            // Only looked at: what is there tells what would be left alone.
            carpeta hay;
            nodo visto;
            if (en != nullptr && abre_carpeta_bajo(*en, nombre, hay, visto) == 0 &&
                !es_carpeta_de_origen(obra, visto)) {
                obra.hecha(i) = visto;
                obra.ya_estaba(i) = 1;
            }
            return informe_de(resultado_trabajo::hecho);
        }
        if (en == nullptr) {
            return informe_fallido(error, false);
        }
        carpeta hecha;
        nodo visto;
        // A folder already there (a run before this one) is only opened; in
        // a folder this run made, none can be.
        obra.ya_estaba(i) =
            hay_que_mirar(obra, que.padre) && abre_carpeta_bajo(*en, nombre, hecha, visto) == 0;
        if (!obra.ya_estaba(i)) {
            // One made meanwhile by another run may hold its files: examined.
            bool ya_estaba = false;
            if ((error = crea_carpeta_en(*en, nombre, &ya_estaba)) != 0) {
                return informe_fallido(error, false);
            }
            obra.ya_estaba(i) = ya_estaba;
            if ((error = abre_carpeta_bajo(*en, nombre, hecha, visto)) != 0) {
                return informe_fallido(error, false);
            }
        }
        // A source folder reached through the destination (a mount): never written.
        if (es_carpeta_de_origen(obra, visto)) {
            return informe_fallido(ELOOP, false);
        }
        obra.hecha(i) = visto;
        if (obra.ya_estaba(i)) {
            deja_escribir_en(hecha);  // a failure here is the writes' to tell
            // A name the source folder has is the source's, however it looks.
            borra_temporales_abandonados(hecha, [&](const std::string& de_sobra) {
                carpeta_en_uso en_origen;
                int sin_abrir = 0;
                const carpeta* de = carpeta_origen(obra, i, en_origen, sin_abrir);
                nodo n;
                return de == nullptr || examina_en(*de, de_sobra, n) != 0 ||
                       n.clase != clase_nodo::ninguno;
            });
        }
        // Kept open for the folders it holds, which come next.
        suelta(banco.destino);
        banco.destino.abierta = std::move(hecha);
        banco.destino.indice = i;
        banco.destino.valida = true;
        return informe_de(resultado_trabajo::hecho);
    });
}

bool es_fichero_escrito(resultado_trabajo resultado) {
    switch (resultado) {
        case resultado_trabajo::compactado:
        case resultado_trabajo::compactado_php:
        case resultado_trabajo::sin_compactar:
        case resultado_trabajo::demasiado_grande:
        case resultado_trabajo::copiado:
            return true;
        default:
            return false;
    }
}

informe_trabajo procesa_entrada(const espejo& obra, std::size_t i, taller& banco) {
    return a_salvo(banco, [&] {
        switch (obra.entradas[i].tipo) {
            case tipo_entrada::especial:
                return informe_de(resultado_trabajo::omitido);
            case tipo_entrada::carpeta:
                return informe_de(resultado_trabajo::hecho);  // made beforehand
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
    if (!es_fichero_escrito(hecho) && hecho != resultado_trabajo::al_dia) {
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
        // Linked, the name holds what its first name's file was written as,
        // in this run or one before: reported so, as a fresh run would.
        informe_trabajo enlazado = del_principal;
        if (hecho == resultado_trabajo::al_dia) {
            enlazado.resultado = del_principal.previo;
        }
        // A first name written now has a new file, which no name is linked to yet.
        if (obra.opciones.simula &&
            (hecho != resultado_trabajo::al_dia || !hay_que_mirar(obra, que.padre))) {
            return enlazado;
        }
        int error = 0;
        const carpeta* a = carpeta_copia(obra, que.padre, banco.destino, error);
        if (a == nullptr) {
            return obra.opciones.simula ? enlazado : informe_fallido(error, false);
        }
        const entrada& principal = obra.entradas[que.principal];
        carpeta_en_uso otra;
        const carpeta* de_principal =
            principal.padre == que.padre ? a : carpeta_copia(obra, principal.padre, otra, error);
        nodo este;
        nodo primero;
        // Already another name of the file its first name has.
        if (de_principal != nullptr && examina_en(*a, nombre, este) == 0 &&
            examina_en(*de_principal, nombre_de(principal), primero) == 0 &&
            este.clase == clase_nodo::fichero && mismo_nodo(este, primero)) {
            informe_trabajo informe = del_principal;
            informe.resultado = resultado_trabajo::al_dia;
            informe.previo = enlazado.resultado;
            return informe;
        }
        if (obra.opciones.simula) {
            return enlazado;
        }
        if (de_principal != nullptr &&
            coloca_enlace_duro(*de_principal, nombre_de(principal), *a, nombre) == 0) {
            return enlazado;
        }
        // No link to be had (another file system, say): a copy of its own.
        otra.abierta.cierra();
        return procesa_fichero(obra, i, banco);
    });
}

informe_trabajo remata_carpeta(const espejo& obra, std::size_t i, taller& banco) {
    return a_salvo(banco, [&] {
        // Looked at by its path: only a folder that is the one made and has
        // what the walk saw of its source is left alone without being opened.
        // One made by this run still has times of its own.
        nodo ahora;
        const entrada& que = obra.entradas[i];
        const nodo& al_abrirla = obra.hecha(i);
        const bool la_misma = obra.ya_estaba(i) && examina_en(obra.destino, que.ruta, ahora) == 0 &&
                              ahora.clase == clase_nodo::carpeta && mismo_nodo(ahora, al_abrirla);
        if (la_misma && atributos_iguales(visto_de(que), ahora)) {
            return informe_de(resultado_trabajo::al_dia);
        }
        // Up to date when this run opened it, and nothing made, removed or
        // renamed in it since (its time is the same): it differs only by the
        // bits it was given to be written in (deja_escribir_en), set back
        // below, and it is reported as it was, up to date.
        const bool solo_abierta = la_misma && atributos_iguales(visto_de(que), al_abrirla) &&
                                  ahora.tiempo == al_abrirla.tiempo &&
                                  ahora.dueno == al_abrirla.dueno &&
                                  ahora.grupo == al_abrirla.grupo;
        int error = 0;
        const carpeta* de = carpeta_origen(obra, i, banco.origen, error);
        if (de == nullptr) {
            return sin_origen(error);
        }
        const carpeta* a = carpeta_copia(obra, i, banco.destino, error);
        if (a == nullptr) {
            return informe_fallido(error, false);
        }
        if ((error = copia_atributos_carpeta(*de, *a)) != 0) {
            return informe_fallido(error, false);
        }
        return informe_de(solo_abierta ? resultado_trabajo::al_dia : resultado_trabajo::hecho);
    });
}

informe_trabajo remata_sin_escribir(const espejo& obra, std::size_t i, bool cambia) {
    const bool al_dia = !cambia && obra.ya_estaba(i) &&
                        atributos_iguales(visto_de(obra.entradas[i]), obra.hecha(i));
    return informe_de(al_dia ? resultado_trabajo::al_dia : resultado_trabajo::hecho);
}

bool cambia_su_carpeta(const espejo& obra, std::size_t i, const informe_trabajo& informe) {
    if (obra.entradas[i].tipo == tipo_entrada::carpeta) {
        return !obra.ya_estaba(i);  // made in it; setting its attributes changes no name
    }
    return es_fichero_escrito(informe.resultado) || informe.resultado == resultado_trabajo::hecho;
}

std::vector<borrado> borra_sobrantes(const espejo& obra, filtro& que, bool con_excluidos) {
    std::vector<borrado> borrados;
    if (!obra.hay_destino) {
        return borrados;
    }
    const std::vector<entrada>& entradas = obra.entradas;
    // The names each source folder has, by folder (the root last).
    std::vector<std::unordered_set<std::string_view>> nombres(entradas.size() + 1);
    for (const entrada& e : entradas) {
        const std::size_t padre = e.padre == kNinguna ? entradas.size() : e.padre;
        const std::size_t barra = e.ruta.rfind('/');
        nombres[padre].insert(barra == std::string::npos
                                  ? std::string_view(e.ruta)
                                  : std::string_view(e.ruta).substr(barra + 1));
    }
    const auto intocable = [&obra](const nodo& n) { return es_carpeta_de_origen(obra, n); };
    std::string antes;
    // Left out by the patterns, export-ignore or -s: the entry of path `antes` + `ruta`.
    const std::function<bool(const std::string&, const nodo&)> fuera =
        [&que, &antes](const std::string& ruta, const nodo& visto) {
            const bool es_carpeta = visto.clase == clase_nodo::carpeta;
            const std::size_t barra = ruta.rfind('/');
            const std::string_view nombre = barra == std::string::npos
                                                ? std::string_view(ruta)
                                                : std::string_view(ruta).substr(barra + 1);
            return que.excluidos.excluye(antes + ruta, es_carpeta) ||
                   (que.exporta && que.exportacion.deja_fuera(antes + ruta, es_carpeta)) ||
                   (que.solo_php && !es_carpeta && !tiene_extension(nombre, que.extensiones));
        };
    for (std::size_t f = 0; f <= entradas.size(); ++f) {
        const bool raiz = f == entradas.size();
        if (!raiz && (entradas[f].tipo != tipo_entrada::carpeta ||
                      obra.hecha(f).clase == clase_nodo::ninguno)) {
            continue;
        }
        antes = raiz ? std::string() : entradas[f].ruta + "/";
        carpeta abierta;
        const carpeta* en = &obra.destino;
        if (!raiz) {
            nodo visto;
            const int error = abre_carpeta_bajo(obra.destino, entradas[f].ruta, abierta, visto);
            if (error != 0 || !mismo_nodo(visto, obra.hecha(f))) {
                borrados.push_back({entradas[f].ruta, error != 0 ? error : kDestinoCambiado});
                continue;
            }
            // What a mount shows is not the destination's: nothing in it is
            // removed, as borra_arbol_en never enters one.
            if (const int otro = mismo_montaje(obra.destino, abierta); otro != 0) {
                borrados.push_back({entradas[f].ruta, otro});
                continue;
            }
            en = &abierta;
        }
        std::vector<std::pair<std::string, nodo>> hay;
        if (const int error = lista_carpeta(*en, hay); error != 0) {
            borrados.push_back({raiz ? "." : entradas[f].ruta, error});
            continue;
        }
        std::sort(hay.begin(), hay.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [nombre, visto] : hay) {
            // Another run's temporary files stay; a name that only looks like one goes.
            if (nombres[f].count(nombre) != 0 || es_temporal_en_curso(nombre)) {
                continue;
            }
            if (!con_excluidos && fuera(nombre, visto)) {
                continue;
            }
            // What is left out stays deeper down too, and so do the folders that hold it.
            borra_arbol_en(
                *en, nombre, obra.opciones.simula, intocable,
                [&](const std::string& hecho, const nodo&, int error) {
                    borrados.push_back({antes + hecho, error});
                },
                con_excluidos ? std::function<bool(const std::string&, const nodo&)>() : fuera);
        }
    }
    std::sort(borrados.begin(), borrados.end(),
              [](const borrado& a, const borrado& b) { return a.ruta < b.ruta; });
    return borrados;
}

}  // namespace kexo
