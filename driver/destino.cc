#include "driver/destino.h"

#include <cerrno>

#include "common/plataforma.h"

namespace kexo {

namespace {

// Tries fresh names until `crea` makes the file under one: each name is
// recorded in `nombre` before the file exists, so that a signal never leaves
// it behind. Returns false, with errno and no name recorded, when it cannot.
template <typename Creacion>
bool crea_con_nombre(temporal& nombre, const carpeta_destino& carpeta, Creacion crea) {
    for (int intento = 0; intento < 100; ++intento) {
        if (!nombre.nombra(carpeta.fd(), carpeta.prefijo())) {
            errno = ENFILE;
            return false;
        }
        if (crea(nombre.nombre())) {
            return true;
        }
        const int error = errno;
        nombre.olvida();
        errno = error;
        if (error != EEXIST) {
            return false;
        }
    }
    return false;
}

}  // namespace

int destino::abre(const std::string& ruta) {
    if (ruta.empty()) {
        return ENOENT;
    }
    std::string real;
    nodo_destino nodo;
    if (const int error = examina_destino(ruta, real, nodo); error != 0) {
        return error;
    }
    if (nodo.directo) {
        return abre_directo(real);
    }
    nuevo_ = !nodo.existe;
    vigila_senales();
    int error = carpeta_.abre_de(real, nombre_);
    const int fd = error == 0 ? crea_temporal() : -1;
    if (fd < 0) {
        error = error != 0 ? error : errno;
        // No new file can be made beside it: write the file itself.
        return nuevo_ ? error : abre_directo(real);
    }
    if (original_ == nullptr) {
        prepara_temporal(fd, nodo, !sin_nombre_);
    }
    return adopta_temporal(fd);
}

int destino::crea_temporal() {
    bool sin_soporte = false;
    const int fd = crea_sin_nombre(carpeta_, sin_soporte);
    if (fd >= 0 || !sin_soporte) {
        sin_nombre_ = fd >= 0;
        return fd;
    }
    int creado = -1;
    crea_con_nombre(temporal_, carpeta_, [&](const char* nombre) {
        creado = crea_exclusivo(carpeta_, nombre);
        return creado >= 0;
    });
    return creado;
}

int destino::abre_directo(const std::string& ruta) {
    flujo_.reset(sin_buffer(std::fopen(ruta.c_str(), "wb")));
    en_su_sitio_ = true;
    return flujo_ ? 0 : errno;
}

int destino::adopta_temporal(int fd) {
    flujo_ = abre_descriptor(fd, "wb");
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

bool destino::nombra_temporal() {
    if (!sin_nombre_) {
        return true;
    }
    const int fd = descriptor_de(flujo_.get());
    // A new destination takes the file's first name, unless one was made meanwhile.
    if (nuevo_ && enlaza_sin_nombre(carpeta_, fd, nombre_.c_str())) {
        en_su_nombre_ = true;
        return true;
    }
    return crea_con_nombre(temporal_, carpeta_, [&](const char* nombre) {
        return enlaza_sin_nombre(carpeta_, fd, nombre);
    });
}

bool destino::coloca_temporal() {
    if (en_su_nombre_) {
        en_su_nombre_ = false;
        return true;
    }
    if (!renombra(carpeta_, temporal_.nombre(), nombre_.c_str())) {
        return false;
    }
    temporal_.olvida();
    return true;
}

bool destino::confirma(bool escrito) {
    if (!flujo_) {
        return false;
    }
    const int fd = descriptor_de(flujo_.get());
    bool bien = std::fflush(flujo_.get()) == 0 && escrito &&
                (original_ == nullptr || copia_atributos(fd, original_));
    if (en_su_sitio_) {
        return std::fclose(flujo_.release()) == 0 && bien;
    }
    bien = bien && nombra_temporal();
    bien = std::fclose(flujo_.release()) == 0 && bien;
    bien = bien && coloca_temporal();
    descarta();
    return bien;
}

void destino::descarta() {
    flujo_.reset();
    if (en_su_nombre_) {
        // It failed after taking the name: the name was not there before.
        borra_entrada(carpeta_.fd(), nombre_.c_str());
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

}  // namespace kexo
