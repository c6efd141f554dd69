#include "compaction/escanea.h"

#include <array>
#include <cstring>

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

// Bytes at which the scan stops to decide; the runs between them are copied whole.
using tabla_paradas = std::array<bool, 256>;

constexpr tabla_paradas paradas(const char* bytes) {
    tabla_paradas tabla{};
    for (; *bytes != '\0'; ++bytes) {
        tabla[static_cast<unsigned char>(*bytes)] = true;
    }
    return tabla;
}

// In code: quotes open literals, `//` opens a comment, CR may break a line.
constexpr tabla_paradas kEnCodigo = paradas("\r'\"/");
// In a literal only its own quote and CR matter.
constexpr tabla_paradas kEnSimples = paradas("\r'");
constexpr tabla_paradas kEnDobles = paradas("\r\"");

const tabla_paradas& paradas_de(char comilla) {
    if (comilla == '\'') {
        return kEnSimples;
    }
    return comilla == '"' ? kEnDobles : kEnCodigo;
}

const char* siguiente_parada(const char* p, const char* fin, const tabla_paradas& tabla) {
    while (p < fin && !tabla[static_cast<unsigned char>(*p)]) {
        ++p;
    }
    return p;
}

// The literal state after quote c, `antes` being the source byte before it.
// A quote right after a backslash neither opens nor closes a literal.
char sigue_literal(char comilla, char c, char antes) {
    if (antes == '\\') {
        return comilla;
    }
    if (comilla == '\0') {
        return c;
    }
    return c == comilla ? '\0' : comilla;
}

// One scan step over a piece [p, fin): the scan state plus the output cursor.
struct paso {
    escaner& estado;
    const char* fin;
    char* salida;

    // Drops the next line's leading spaces from p on.
    const char* salta_sangria(const char* p) {
        while (p < fin && *p == ' ') {
            ++p;
        }
        if (p == fin) {
            estado.espera = pendiente::sangria;
        }
        return p;
    }

    // A line break: one space, the end of any literal, then the indentation goes.
    const char* salto_de_linea(const char* tras_lf) {
        *salida++ = ' ';
        estado.comilla = '\0';
        return salta_sangria(tras_lf);
    }

    // The CR at p: with an LF after it, a line break; alone, it is dropped.
    const char* cr(const char* p) {
        if (p + 1 == fin) {
            estado.espera = pendiente::cr;
            return fin;
        }
        return p[1] == kLF ? salto_de_linea(p + 2) : p + 1;
    }

    // Drops the comment from p up to the CR or LF that ends it. An LF is kept.
    const char* comentario(const char* p) {
        while (p < fin && *p != kCR && *p != kLF) {
            ++p;
        }
        if (p == fin) {
            estado.espera = pendiente::comentario;
            return fin;
        }
        if (*p == kLF) {
            *salida++ = kLF;
            return p + 1;
        }
        return cr(p);
    }

    // The `/` at p, outside literals: a comment when another `/` follows.
    const char* barra(const char* p) {
        if (p + 1 == fin) {
            estado.espera = pendiente::barra;
            return fin;
        }
        if (p[1] == '/') {
            return comentario(p);
        }
        *salida++ = '/';
        return p + 1;
    }

    // Settles what the previous piece left undecided, with p the first byte.
    const char* resuelve(const char* p) {
        const pendiente espera = estado.espera;
        estado.espera = pendiente::nada;
        switch (espera) {
            case pendiente::nada:
                return p;
            case pendiente::barra:
                if (*p == '/') {
                    return comentario(p);
                }
                *salida++ = '/';
                return p;
            case pendiente::comentario:
                return comentario(p);
            case pendiente::cr:
                return *p == kLF ? salto_de_linea(p + 1) : p;
            case pendiente::sangria:
                return salta_sangria(p);
        }
        return p;
    }
};

}  // namespace

char* escanea_trozo(escaner& estado, std::string_view trozo, char* salida) {
    if (trozo.empty()) {
        return salida;
    }
    const char* const inicio = trozo.data();
    paso paso{estado, inicio + trozo.size(), salida};
    const char* p = paso.resuelve(inicio);
    while (p < paso.fin) {
        const char* parada = siguiente_parada(p, paso.fin, paradas_de(estado.comilla));
        std::memcpy(paso.salida, p, static_cast<std::size_t>(parada - p));
        paso.salida += parada - p;
        p = parada;
        if (p == paso.fin) {
            break;
        }
        if (*p == kCR) {
            p = paso.cr(p);
        } else if (*p == '/') {
            p = paso.barra(p);
        } else {
            estado.comilla = sigue_literal(estado.comilla, *p, p == inicio ? estado.previo : p[-1]);
            *paso.salida++ = *p++;
        }
    }
    estado.previo = paso.fin[-1];
    return paso.salida;
}

char* termina_escaneo(escaner& estado, char* salida) {
    if (estado.espera == pendiente::barra) {
        *salida++ = '/';
    } else if (estado.espera == pendiente::comentario) {
        // A comment that runs to the end leaves the byte 0 that ends the source.
        *salida++ = '\0';
    }
    estado.espera = pendiente::nada;
    return salida;
}
