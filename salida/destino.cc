#include "salida/destino.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/ficheros.h"
#include "common/procesos.h"

namespace kexo {

namespace {

// Tries fresh names until `crea` makes the file under one, returning 0, or
// the error number: each name is recorded in `nombre` before the file exists,
// so that a signal never leaves it behind. Returns 0, or the error number
// with no name recorded.
template <typename Creacion>
int crea_con_nombre(temporal& nombre, const carpeta& carpeta, Creacion crea) {
    for (int intento = 0; intento < 100; ++intento) {
        if (!nombre.nombra(carpeta.fd(), carpeta.prefijo())) {
            return ENFILE;
        }
        const int error = crea(nombre.nombre());
        if (error == 0 && cierre_en_curso()) {
            // A signal is ending the process, and its removal may have
            // looked before this file existed.
            borra_entrada(nombre.carpeta(), nombre.nombre());
            nombre.olvida();
            return EINTR;
        }
        if (error == 0) {
            return 0;
        }
        nombre.olvida();
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

}  // namespace

int destino::abre(const std::string& ruta) {
    if (ruta.empty()) {
        return ENOENT;
    }
    std::string real;
    nodo previo;
    bool directo = false;
    if (const int error = examina_destino(ruta, real, previo, directo); error != 0) {
        return error;
    }
    if (directo) {
        return abre_directo(real);
    }
    nuevo_ = previo.clase != clase_nodo::fichero;
    vigila_senales();
    carpeta_ = &propia_;
    int error = abre_carpeta_de(real, propia_, nombre_);
    descriptor fd;
    if (error == 0) {
        error = crea_temporal(fd);
    }
    if (error != 0) {
        // No new file can be made beside it: write the file itself, unless
        // the process is ending.
        return nuevo_ || error == EINTR ? error : abre_directo(real);
    }
    if (original_ == nullptr) {
        prepara_temporal(fd.fd(), previo, !sin_nombre_);
    }
    return adopta_temporal(std::move(fd));
}

int destino::abre_en(const carpeta& en, const std::string& nombre) {
    if (nombre.empty()) {
        return ENOENT;
    }
    carpeta_ = &en;
    nombre_ = en.prefijo() + nombre;
    // Whatever entry has the name is replaced: only a regular file passes its
    // attributes on.
    nodo previo;
    if (const int error = sin_previo_ ? 0 : examina_en(en, nombre, previo); error != 0) {
        return error;
    }
    nuevo_ = previo.clase == clase_nodo::ninguno;
    vigila_senales();
    descriptor fd;
    if (const int error = crea_temporal(fd); error != 0) {
        return error;
    }
    if (original_ == nullptr) {
        prepara_temporal(fd.fd(), previo, !sin_nombre_);
    }
    return adopta_temporal(std::move(fd));
}

int destino::crea_temporal(descriptor& fd) {
    const int error = crea_sin_nombre(*carpeta_, fd);
    if (error != EOPNOTSUPP) {
        sin_nombre_ = error == 0;
        return error;
    }
    return crea_con_nombre(temporal_, *carpeta_, [&](const char* nombre) {
        return crea_exclusivo(*carpeta_, nombre, fd);
    });
}

int destino::abre_directo(const std::string& ruta) {
    flujo_.reset(sin_buffer(std::fopen(ruta.c_str(), "wb")));
    en_su_sitio_ = true;
    return flujo_ ? 0 : errno;
}

int destino::adopta_temporal(descriptor fd) {
    flujo_ = abre_descriptor(std::move(fd), "wb");
    if (!flujo_) {
        const int error = errno;
        descarta();
        return error;
    }
    sin_buffer(flujo_.get());
    return 0;
}

bool destino::comparte_salida_estandar() const {
    return en_su_sitio_ && flujo_ && es_salida_estandar(descriptor_de(flujo_.get()));
}

int destino::nombra_temporal() {
    if (!sin_nombre_) {
        return 0;
    }
    const int fd = descriptor_de(flujo_.get());
    // A new destination takes the file's first name, unless one was made meanwhile.
    if (nuevo_ && enlaza_sin_nombre(*carpeta_, fd, nombre_.c_str()) == 0) {
        en_su_nombre_ = true;
        return 0;
    }
    return crea_con_nombre(temporal_, *carpeta_, [&](const char* nombre) {
        return enlaza_sin_nombre(*carpeta_, fd, nombre);
    });
}

int destino::coloca_temporal() {
    if (en_su_nombre_) {
        en_su_nombre_ = false;
        return 0;
    }
    if (const int error = renombra(*carpeta_, temporal_.nombre(), nombre_.c_str()); error != 0) {
        return error;
    }
    temporal_.olvida();
    return 0;
}

int destino::confirma(bool escrito) {
    if (!flujo_) {
        return EBADF;
    }
    const int fd = descriptor_de(flujo_.get());
    medida escribiendo(tiempos_, fase::escritura);
    // A write that failed is the writer's to report: its error stands for it here.
    int error = std::fflush(flujo_.get()) != 0 ? errno : escrito ? 0 : EIO;
    escribiendo.termina();
    medida atribuyendo(tiempos_, fase::atributos);
    nodo queda;
    const bool con_queda = error == 0 && original_ != nullptr;
    if (con_queda) {
        error = con_vistos_ ? copia_atributos(fd, vistos_, &queda)
                            : copia_atributos(fd, original_, &queda);
    }
    atribuyendo.termina();
    if (en_su_sitio_) {
        return cierra_flujo(error);
    }
    if (error == 0 && antes_de_colocar_) {
        antes_de_colocar_(fd, con_queda ? &queda : nullptr);
    }
    const medida nombrando(tiempos_, fase::renombrado);
    if (error == 0) {
        error = nombra_temporal();
    }
    error = cierra_flujo(error);
    if (error == 0) {
        error = coloca_temporal();
    }
    descarta();
    return error;
}

int destino::cierra_flujo(int error) {
    const bool cerrado = std::fclose(flujo_.release()) == 0;
    return error != 0 || cerrado ? error : errno;
}

void destino::descarta() {
    flujo_.reset();
    if (en_su_nombre_) {
        // It failed after taking the name: the name was not there before.
        borra_entrada(carpeta_->fd(), nombre_.c_str());
        en_su_nombre_ = false;
    }
    if (!temporal_.vacio()) {
        borra_entrada(temporal_.carpeta(), temporal_.nombre());
        temporal_.olvida();
    }
}

destino::~destino() {
    descarta();
}

namespace {

// Puts the entry `temporal`, just made, in the place of `nombre`, or removes
// it. Returns 0, or the error number.
int coloca_hecho(const carpeta& carpeta, temporal& hecho, const std::string& nombre) {
    const int error = renombra(carpeta, hecho.nombre(), nombre.c_str());
    // Renamed over another name of the same file, it is still there.
    borra_entrada(hecho.carpeta(), hecho.nombre());
    hecho.olvida();
    return error;
}

// True when `resto` is a temporary name's end: a process number, a dash and
// a count; puts the process number in `proceso`.
bool es_proceso_y_cuenta(const std::string& resto, long& proceso) {
    const auto son_cifras = [](const std::string& s) {
        return !s.empty() && s.size() < 19 &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const std::size_t guion = resto.find('-');
    if (guion == std::string::npos || !son_cifras(resto.substr(0, guion)) ||
        !son_cifras(resto.substr(guion + 1))) {
        return false;
    }
    proceso = std::strtol(resto.c_str(), nullptr, 10);
    return true;
}

}  // namespace

int coloca_enlace(const carpeta& en, const std::string& nombre, const std::string& objetivo,
                  const carpeta& origen, const std::string& original) {
    vigila_senales();
    temporal hecho;
    if (const int error = crea_con_nombre(hecho, en,
                                          [&](const char* provisional) {
                                              return crea_enlace_simbolico(en, provisional,
                                                                           objetivo);
                                          });
        error != 0) {
        return error;
    }
    if (const int error = copia_atributos_enlace(origen, original, en, hecho.nombre());
        error != 0) {
        borra_entrada(hecho.carpeta(), hecho.nombre());
        return error;
    }
    return coloca_hecho(en, hecho, en.prefijo() + nombre);
}

int coloca_enlace_duro(const carpeta& de, const std::string& original, const carpeta& a,
                       const std::string& nombre) {
    vigila_senales();
    const std::string de_original = de.prefijo() + original;
    temporal hecho;
    if (const int error = crea_con_nombre(hecho, a,
                                          [&](const char* provisional) {
                                              return crea_enlace_duro(de, de_original.c_str(), a,
                                                                      provisional);
                                          });
        error != 0) {
        return error;
    }
    return coloca_hecho(a, hecho, a.prefijo() + nombre);
}

bool es_temporal_en_curso(const std::string& nombre) {
    const std::string prefijo = kPrefijoTemporal;
    long proceso = 0;
    return nombre.compare(0, prefijo.size(), prefijo) == 0 &&
           es_proceso_y_cuenta(nombre.substr(prefijo.size()), proceso) && proceso_vivo(proceso);
}

void borra_temporales_abandonados(
    const carpeta& c, const std::function<bool(const std::string& nombre)>& del_origen) {
    const std::string prefijo = kPrefijoTemporal;
    std::vector<std::pair<std::string, nodo>> entradas;
    lista_carpeta(c, entradas, prefijo);
    for (const auto& [nombre, visto] : entradas) {
        long proceso = 0;
        // Only the kinds made here, named as made here, of a process that is gone.
        if ((visto.clase == clase_nodo::fichero || visto.clase == clase_nodo::enlace) &&
            es_proceso_y_cuenta(nombre.substr(prefijo.size()), proceso) && !proceso_vivo(proceso) &&
            !(del_origen && del_origen(nombre))) {
            borra_entrada(c.fd(), (c.prefijo() + nombre).c_str());
        }
    }
}

}  // namespace kexo
