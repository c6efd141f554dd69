#include "tree/empaquetado.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/archivo.h"
#include "common/ficheros.h"
#include "common/procesos.h"
#include "notice/aviso.h"
#include "salida/lectura.h"
#include "tree/reparto.h"

namespace kexo {

namespace {

// The finished entries the writer may have waiting, at most, and their bytes:
// past either, workers wait for it (never for the entry it waits for).
constexpr std::size_t kVentanaEntradas = 512;
constexpr std::size_t kVentanaBytes = std::size_t{8} << 20;

// The buffers of written entries kept for the workers' next reads, at most,
// and the largest kept: memory already in use and as long as a file, which
// a read writes over rather than zeroing fresh memory first.
constexpr std::size_t kSobras = 2;
constexpr std::size_t kSobraMaxima = std::size_t{1} << 20;

// The links followed on the way to a link's file, at most, as the system's own limit.
constexpr int kEnlacesSeguidos = 40;

// An entry made ready for the writer.
struct pieza_lista {
    informe_trabajo informe;
    bool entra = false;        // it goes into the archive
    bool otro_nombre = false;  // another name of an earlier file: the writer's to decide
    pieza_paquete que;
    datos_pieza datos;
    archivo grande;  // too large to be held: its source, open, streamed by the writer
};

// The bytes written for the file `que`, read whole into `fuente`.
std::string bytes_de(const espejo& obra, const entrada& que, std::string& fuente,
                     informe_trabajo& informe, taller& banco) {
    if (que.tipo != tipo_entrada::php) {
        informe = informe_de(resultado_trabajo::copiado);
        informe.antes = informe.despues = fuente.size();
        return std::move(fuente);
    }
    escrito_php e = que_escribir(fuente, obra.opciones, banco.tiempos);
    informe = informe_de(e.resultado);
    informe.antes = fuente.size();
    informe.linea = e.mismo.linea;
    informe.motivo = e.mismo.motivo;
    // Without a notice the text is written as it is: moved, not copied.
    std::string escrito =
        e.aviso.empty() ? std::move(e.texto) : con_cabecera(e.aviso, e.donde, e.texto);
    informe.despues = escrito.size();
    return escrito;
}

// Reads the file of entry `de` and makes its bytes ready for the archive as
// `lista.que`, whose path and kind are set.
void prepara_fichero(const espejo& obra, const escritor_paquete* escritor, std::size_t de,
                     taller& banco, pieza_lista& lista) {
    const entrada& que = obra.entradas[de];
    int error = 0;
    const carpeta* carpeta = carpeta_origen(obra, que.padre, banco.origen, error);
    if (carpeta == nullptr) {
        lista.informe = error == ENOENT || error == ENOTDIR || error == ELOOP || error < 0
                            ? informe_de(resultado_trabajo::cambiado)
                            : informe_fallido(error, true);
        return;
    }
    nodo visto;
    archivo origen;
    medida leyendo(banco.tiempos, fase::lectura);
    if ((error = abre_fichero_en(*carpeta, nombre_de(que), visto, origen)) != 0) {
        lista.informe = visto.clase != clase_nodo::ninguno ? informe_de(resultado_trabajo::cambiado)
                                                           : informe_fallido(error, true);
        return;
    }
    if (!sigue_igual(que, visto)) {
        lista.informe = informe_de(resultado_trabajo::cambiado);
        return;
    }
    // The bits the walk saw: where the system keeps none, those it showed for them.
    lista.que.modo = modo_en_paquete(que.visto.modo);
    if (visto.tamano > kMaximoComprobado) {
        // Streamed by the writer, as it is: too large to be checked.
        lista.informe =
            informe_de(que.tipo == tipo_entrada::php ? resultado_trabajo::demasiado_grande
                                                     : resultado_trabajo::copiado);
        lista.informe.antes = lista.informe.despues = static_cast<std::uint64_t>(visto.tamano);
        lista.grande = std::move(origen);
        lista.entra = true;
        return;
    }
    if ((error = lee_entero(origen.get(), banco.fuente, kMaximoComprobado, visto.tamano)) != 0) {
        lista.informe =
            error == EFBIG ? informe_de(resultado_trabajo::cambiado) : informe_fallido(error, true);
        return;
    }
    leyendo.termina();
    std::string bytes = bytes_de(obra, que, banco.fuente, lista.informe, banco);
    if (escritor != nullptr) {
        const medida escribiendo(banco.tiempos, fase::escritura);
        lista.datos = escritor->prepara(std::move(bytes));
    }
    lista.entra = true;
}

// Reads the target of the link `i` of the walk.
int lee_objetivo(const espejo& obra, std::size_t i, taller& banco, std::string& objetivo) {
    int error = 0;
    const carpeta* carpeta = carpeta_origen(obra, obra.entradas[i].padre, banco.origen, error);
    if (carpeta == nullptr) {
        return error > 0 ? error : ENOENT;
    }
    return lee_enlace_en(*carpeta, nombre_de(obra.entradas[i]), objetivo);
}

// Makes the entry `i` ready for the writer: its work done, its bytes prepared.
pieza_lista prepara_entrada(const espejo& obra, const opciones_empaquetado& como,
                            const escritor_paquete* escritor, std::size_t i, taller& banco) {
    const entrada& que = obra.entradas[i];
    pieza_lista lista;
    lista.que.ruta = ruta_en_paquete(como.prefijo, que.ruta);
    lista.que.tiempo = tiempo_en_paquete(que.visto.tiempo, como.epoca);
    lista.que.modo = modo_en_paquete(que.visto.modo);
    switch (que.tipo) {
        case tipo_entrada::carpeta:
            lista.que.clase = clase_pieza_paquete::carpeta;
            lista.informe = informe_de(resultado_trabajo::hecho);
            lista.entra = true;
            return lista;
        case tipo_entrada::especial:
            lista.informe = informe_de(resultado_trabajo::omitido);
            return lista;
        case tipo_entrada::enlace:
            break;
        case tipo_entrada::php:
        case tipo_entrada::otro:
            if (que.principal != kNinguna) {
                lista.otro_nombre = true;  // linked or copied by the writer
                return lista;
            }
            prepara_fichero(obra, escritor, i, banco, lista);
            return lista;
    }
    if (!como.sin_enlaces) {
        lista.que.clase = clase_pieza_paquete::enlace;
        lista.que.modo = 0777;
        const int error = lee_objetivo(obra, i, banco, lista.que.objetivo);
        lista.informe = error == 0 ? informe_de(resultado_trabajo::hecho)
                        : error == EINVAL
                            ? informe_de(resultado_trabajo::cambiado)  // no longer a link
                            : informe_fallido(error, true);
        lista.entra = error == 0;
        return lista;
    }
    int error = 0;
    const std::size_t fichero = destino_de_enlace(
        obra.entradas, i,
        [&](std::size_t k, std::string& objetivo) {
            return lee_objetivo(obra, k, banco, objetivo);
        },
        error);
    if (fichero == kNinguna) {
        lista.informe = informe_de(resultado_trabajo::fuera_del_paquete);
        lista.informe.error = error;
        return lista;
    }
    // Stored as the file it leads to, with that file's bits and time.
    lista.que.tiempo = tiempo_en_paquete(obra.entradas[fichero].visto.tiempo, como.epoca);
    prepara_fichero(obra, escritor, fichero, banco, lista);
    return lista;
}

// Gives the writer the blocks of a file too large to be held.
lector_bloques lector_de(std::FILE* origen) {
    return [origen](std::string& bloque) {
        bloque.resize(kBloqueLectura);
        int error = 0;
        bloque.resize(lee_bloque(origen, &bloque[0], bloque.size(), error));
        return error;
    };
}

// The hand-over between the workers and the writer: entries claimed in path
// order, held once finished until the writer takes them.
class ventana {
   public:
    // Its slots are made here, so that handing an entry over allocates
    // nothing: a worker out of memory still hands over its report.
    explicit ventana(std::size_t total)
        : listas_(std::min<std::size_t>(total, kVentanaEntradas)), total_(total) {}

    // The next entry for a worker, once the window has room; kNinguna when
    // none is left or the run stops.
    std::size_t toma() {
        std::unique_lock<std::mutex> cerrojo(m_);
        hueco_.wait(cerrojo, [&] {
            return parado_ || siguiente_ >= total_ ||
                   (siguiente_ < escrito_ + kVentanaEntradas &&
                    (bytes_ < kVentanaBytes || siguiente_ == escrito_));
        });
        if (parado_ || siguiente_ >= total_) {
            return kNinguna;
        }
        return siguiente_++;
    }

    void deja(std::size_t i, pieza_lista lista) {
        const std::lock_guard<std::mutex> cerrojo(m_);
        bytes_ += lista.datos.guardados.size();
        // At most kVentanaEntradas entries are claimed and not yet written.
        listas_[i % listas_.size()].emplace(std::move(lista));
        if (i == escrito_) {
            listo_.notify_one();
        }
    }

    // The entry `i`, the next in path order, once finished.
    pieza_lista espera(std::size_t i) {
        std::unique_lock<std::mutex> cerrojo(m_);
        std::optional<pieza_lista>& hueco = listas_[i % listas_.size()];
        listo_.wait(cerrojo, [&] { return hueco.has_value(); });
        pieza_lista lista = std::move(*hueco);
        hueco.reset();
        return lista;
    }

    // The writer is done with the entry before `siguiente`, of `bytes`;
    // `sobra`, its buffer, may serve a worker's next read.
    void libera(std::size_t siguiente, std::size_t bytes, std::string& sobra) {
        const std::lock_guard<std::mutex> cerrojo(m_);
        escrito_ = siguiente;
        bytes_ -= bytes;
        if (sobra.capacity() <= kSobraMaxima && sobras_ < kSobras) {
            sobras_por_tomar_[sobras_++].swap(sobra);
        }
        hueco_.notify_all();
    }

    // Gives `fuente`, left without a buffer (its bytes went to the writer),
    // one a written entry left, when there is one.
    void recicla(std::string& fuente) {
        const std::lock_guard<std::mutex> cerrojo(m_);
        if (sobras_ > 0) {
            fuente.swap(sobras_por_tomar_[--sobras_]);
        }
    }

    void para() {
        const std::lock_guard<std::mutex> cerrojo(m_);
        parado_ = true;
        hueco_.notify_all();
    }

   private:
    std::mutex m_;
    std::condition_variable hueco_;
    std::condition_variable listo_;
    std::vector<std::optional<pieza_lista>> listas_;  // entry i in slot i % size
    std::size_t total_;
    std::size_t siguiente_ = 0;  // the next entry to claim
    std::size_t escrito_ = 0;    // the next entry to write
    std::size_t bytes_ = 0;      // of the finished entries held
    bool parado_ = false;
    // Swapped in and out, never made nor freed while a run hands over.
    std::string sobras_por_tomar_[kSobras];
    std::size_t sobras_ = 0;  // the buffers in the first slots
};

// True for the errors of an entry the format refuses, which leave the
// archive as it was: that entry is left out, the others go on.
bool rehusada(int error) {
    return error == EINVAL || error == EEXIST || error == ENAMETOOLONG || error == EFBIG;
}

// The writer: appends each entry in path order.
class escritor_en_orden {
   public:
    escritor_en_orden(const espejo& obra, const opciones_empaquetado& como,
                      escritor_paquete* escritor, std::vector<informe_trabajo>& informes,
                      taller& banco)
        : obra_(obra),
          como_(como),
          escritor_(escritor),
          informes_(informes),
          banco_(banco),
          dentro_(obra.entradas.size(), 0),
          con_hijos_(obra.entradas.size(), 0) {
        for (const entrada& e : obra.entradas) {
            if (e.padre != kNinguna) {
                con_hijos_[e.padre] = 1;
            }
        }
    }

    // The prefix's folder, first. Returns 0, or the error number.
    int empieza() {
        if (escritor_ == nullptr || como_.prefijo.empty()) {
            return 0;
        }
        pieza_paquete raiz;
        raiz.ruta = como_.prefijo;
        raiz.clase = clase_pieza_paquete::carpeta;
        raiz.modo = modo_en_paquete(como_.raiz.modo);
        raiz.tiempo = tiempo_en_paquete(como_.raiz.tiempo, como_.epoca);
        return como_.solo_carpetas_vacias && !obra_.entradas.empty() ? 0 : escritor_->anade(raiz);
    }

    // Writes the entry `i`, made ready as `lista`. Returns 0, or the error
    // number of writing the archive.
    int escribe(std::size_t i, pieza_lista& lista) {
        if (lista.otro_nombre) {
            return otro_nombre(i, lista);
        }
        informes_[i] = lista.informe;
        if (!lista.entra || escritor_ == nullptr) {
            dentro_[i] = lista.entra ? 1 : 0;
            return 0;
        }
        int error = 0;
        if (lista.que.clase == clase_pieza_paquete::carpeta) {
            if (!como_.solo_carpetas_vacias || con_hijos_[i] == 0) {
                error = escritor_->anade(lista.que);
            }
        } else if (lista.que.clase == clase_pieza_paquete::enlace) {
            error = escritor_->anade(lista.que);
        } else if (lista.grande) {
            error = escritor_->anade_flujo(lista.que, lector_de(lista.grande.get()));
        } else {
            error = escritor_->anade(lista.que, lista.datos);
        }
        dentro_[i] = error == 0 ? 1 : 0;
        if (rehusada(error)) {
            informes_[i] = informe_de(resultado_trabajo::fuera_del_paquete);
            informes_[i].error = error;
            return 0;
        }
        return error;
    }

   private:
    // Another name of a file: linked to its first where that went in; else
    // done here, on its own.
    int otro_nombre(std::size_t i, pieza_lista& lista) {
        const std::size_t primero = obra_.entradas[i].principal;
        if (dentro_[primero] != 0) {
            informes_[i] = informes_[primero];
            dentro_[i] = 1;
            if (escritor_ == nullptr) {
                return 0;
            }
            lista.que.clase = clase_pieza_paquete::enlace_duro;
            lista.que.objetivo = ruta_en_paquete(como_.prefijo, obra_.entradas[primero].ruta);
            return escritor_->anade(lista.que);
        }
        pieza_lista propia;
        propia.que = lista.que;
        prepara_fichero(obra_, escritor_, i, banco_, propia);
        return escribe(i, propia);
    }

    const espejo& obra_;
    const opciones_empaquetado& como_;
    escritor_paquete* escritor_;
    std::vector<informe_trabajo>& informes_;
    taller& banco_;
    std::vector<char> dentro_;     // by entry: it went in
    std::vector<char> con_hijos_;  // by folder: it holds an entry of the walk
};

// Does `trabajo`, and reports what it throws for the entry: nothing escapes a worker.
template <typename Trabajo>
pieza_lista a_salvo(taller& banco, Trabajo trabajo) {
    try {
        return trabajo();
    } catch (const std::bad_alloc&) {
        std::string().swap(banco.fuente);
        pieza_lista lista;
        lista.informe = informe_de(resultado_trabajo::sin_memoria);
        return lista;
    } catch (...) {
        pieza_lista lista;
        lista.informe = informe_fallido(EIO, true);
        return lista;
    }
}

}  // namespace

std::int64_t tiempo_en_paquete(std::int64_t tiempo_ns, std::int64_t epoca) {
    constexpr std::int64_t kNs = 1000000000;
    // Whole seconds, rounded down also before 1970.
    std::int64_t segundos = tiempo_ns / kNs - (tiempo_ns % kNs < 0 ? 1 : 0);
    if (epoca >= 0 && segundos > epoca) {
        segundos = epoca;
    }
    return segundos;
}

std::uint32_t modo_en_paquete(std::uint32_t modo) {
    return modo & 07777 & ~std::uint32_t{06000};
}

std::string ruta_en_paquete(std::string_view prefijo, std::string_view ruta) {
    if (prefijo.empty()) {
        return std::string(ruta);
    }
    std::string entera(prefijo);
    entera += '/';
    entera.append(ruta);
    return entera;
}

std::size_t destino_de_enlace(const std::vector<entrada>& entradas, std::size_t enlace,
                              const std::function<int(std::size_t, std::string&)>& lee_objetivo,
                              int& error) {
    const auto busca = [&entradas](const std::string& ruta) {
        const auto hallada =
            std::lower_bound(entradas.begin(), entradas.end(), ruta,
                             [](const entrada& e, const std::string& r) { return e.ruta < r; });
        return hallada != entradas.end() && hallada->ruta == ruta
                   ? static_cast<std::size_t>(hallada - entradas.begin())
                   : kNinguna;
    };
    // The names from the root to where the path has led so far, and those still to follow.
    std::vector<std::string> hechos;
    const std::string& ruta = entradas[enlace].ruta;
    for (std::size_t desde = 0, barra; (barra = ruta.find('/', desde)) != std::string::npos;
         desde = barra + 1) {
        hechos.push_back(ruta.substr(desde, barra - desde));
    }
    std::size_t actual = enlace;
    std::vector<std::string> faltan;
    for (int seguidos = 0;; ++seguidos) {
        if (seguidos == kEnlacesSeguidos) {
            error = ELOOP;
            return kNinguna;
        }
        std::string objetivo;
        if ((error = lee_objetivo(actual, objetivo)) != 0) {
            return kNinguna;
        }
        if (objetivo.empty() || objetivo[0] == '/') {
            error = objetivo.empty() ? ENOENT : EXDEV;  // a whole path: not followed
            return kNinguna;
        }
        // Its names go before those still to follow, the first on top.
        std::vector<std::string> nuevos;
        for (std::size_t desde = 0;;) {
            const std::size_t barra = std::min(objetivo.find('/', desde), objetivo.size());
            nuevos.push_back(objetivo.substr(desde, barra - desde));
            if (barra == objetivo.size()) {
                break;
            }
            desde = barra + 1;
        }
        faltan.insert(faltan.end(), nuevos.rbegin(), nuevos.rend());
        actual = kNinguna;
        while (!faltan.empty()) {
            std::string nombre = std::move(faltan.back());
            faltan.pop_back();
            if (nombre.empty() || nombre == ".") {
                continue;
            }
            if (nombre == "..") {
                if (hechos.empty()) {
                    error = EXDEV;
                    return kNinguna;
                }
                hechos.pop_back();
                continue;
            }
            std::string hasta;
            for (const std::string& h : hechos) {
                hasta += h + "/";
            }
            hasta += nombre;
            const std::size_t k = busca(hasta);
            if (k == kNinguna) {
                error = ENOENT;
                return kNinguna;
            }
            if (entradas[k].tipo == tipo_entrada::enlace) {
                actual = k;  // followed from the folder it lies in
                break;
            }
            if (entradas[k].tipo != tipo_entrada::carpeta && !faltan.empty() &&
                std::any_of(faltan.begin(), faltan.end(),
                            [](const std::string& n) { return !n.empty() && n != "."; })) {
                error = ENOENT;  // a file where a folder should be
                return kNinguna;
            }
            hechos.push_back(std::move(nombre));
            if (faltan.empty()) {
                if (entradas[k].tipo == tipo_entrada::carpeta) {
                    error = EISDIR;
                    return kNinguna;
                }
                if (entradas[k].tipo == tipo_entrada::especial) {
                    error = ENOENT;
                    return kNinguna;
                }
                error = 0;
                return k;
            }
        }
        if (actual == kNinguna) {
            error = EISDIR;  // the path ended at a folder (or at the root)
            return kNinguna;
        }
    }
}

empaquetado empaqueta(const espejo& obra, const opciones_empaquetado& como,
                      escritor_paquete* escritor, unsigned hilos_pedidos, tiempos_fases* tiempos) {
    empaquetado hecho;
    const std::size_t total = obra.entradas.size();
    hecho.informes.resize(total);
    const unsigned hilos =
        std::max(1u, std::min<unsigned>(hilos_posibles(hilos_pedidos, descriptores_permitidos()),
                                        static_cast<unsigned>(std::min<std::size_t>(total, 256))));
    ventana entre(total);
    std::vector<taller> bancos(hilos + 1);
    for (taller& banco : bancos) {
        banco.tiempos = tiempos;
    }
    std::vector<std::thread> trabajadores;
    // Claims the next entry and hands it over prepared; false when none is left.
    const auto prepara_siguiente = [&](unsigned hilo) {
        const std::size_t i = entre.toma();
        if (i == kNinguna) {
            return false;
        }
        taller& banco = bancos[hilo];
        if (banco.fuente.capacity() <= std::string().capacity()) {  // it went with its bytes
            entre.recicla(banco.fuente);
        }
        entre.deja(i,
                   a_salvo(banco, [&] { return prepara_entrada(obra, como, escritor, i, banco); }));
        return true;
    };
    const auto trabaja = [&](unsigned hilo) {
        while (prepara_siguiente(hilo)) {
        }
    };
    for (unsigned h = 0; h < hilos && total > 0; ++h) {
        try {
            trabajadores.emplace_back(trabaja, h);
        } catch (const std::system_error&) {
            break;  // no more threads now: those started do the work
        }
    }
    escritor_en_orden escribe(obra, como, escritor, hecho.informes, bancos[hilos]);
    hecho.error = escribe.empieza();
    for (std::size_t i = 0; i < total && hecho.error == 0; ++i) {
        if (trabajadores.empty()) {
            // No thread to be had: the writer prepares each entry itself,
            // the one it waits for, which the window never holds back.
            prepara_siguiente(0);
        }
        pieza_lista lista = entre.espera(i);
        const std::size_t bytes = lista.datos.guardados.size();
        try {
            hecho.error = escribe.escribe(i, lista);
        } catch (const std::bad_alloc&) {
            hecho.error = ENOMEM;
        }
        if (hecho.error != 0) {
            hecho.informes[i] = informe_fallido(hecho.error, false);
        }
        entre.libera(i + 1, bytes, lista.datos.guardados);
        if (hecho.error != 0) {
            // Nothing goes anywhere: the archive is not written.
            for (std::size_t j = i + 1; j < total; ++j) {
                hecho.informes[j] = informe_fallido(hecho.error, false);
            }
        }
    }
    entre.para();
    for (std::thread& t : trabajadores) {
        t.join();
    }
    if (hecho.error == 0 && escritor != nullptr) {
        hecho.error = escritor->termina();
    }
    return hecho;
}

}  // namespace kexo
