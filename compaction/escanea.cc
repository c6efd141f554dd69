#include "compaction/escanea.h"

#include <cstddef>
#include <cstring>

#include "common/vectores.h"
#include "compaction/escanea_bloques.h"

namespace kexo {

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

// The bytes at which the scan stops to decide; the runs between them are
// copied whole. In code, quotes open literals, `//` opens a comment and CR may
// break a line; in a literal only its own quote and CR matter.
using en_codigo = bytes_de<kCR, '\'', '"', '/'>;
using en_simples = bytes_de<kCR, '\''>;
using en_dobles = bytes_de<kCR, '"'>;
using fin_de_comentario = bytes_de<kCR, kLF>;

// Moves p past the spaces at it, to the first other byte or to fin.
const char* salta_espacios(const char* p, const char* fin) {
    return salta_clase<bytes_de<' '>>(p, fin);
}

// The scan of one piece [inicio, fin): the scan state plus the output cursor.
struct recorrido_escaneo {
    using pendiente = pendiente_escaneo;

    estado_escaneo& estado;
    const char* inicio;
    const char* fin;
    char* salida;

    // True when the quote at p is escaped: a backslash stands right before it.
    bool escapada(const char* p) const { return (p == inicio ? estado.previo : p[-1]) == '\\'; }

    // Copies code from p up to the end of the piece or to a quote that opens a
    // literal, handling line breaks and comments on the way.
    const char* codigo(const char* p) {
        for (;;) {
            p = copia_hasta_clase<en_codigo>(p, fin, salida);
            if (p == fin) {
                return p;
            }
            if (*p == kCR) {
                p = cr(p);
            } else if (*p == '/') {
                p = barra(p);
            } else {
                const bool abre = !escapada(p);
                *salida++ = *p;
                if (abre) {
                    estado.comilla = *p;
                    return p + 1;
                }
                ++p;
            }
        }
    }

    // Copies the literal from p up to the end of the piece or to its end: its
    // own unescaped quote, or a line break.
    const char* literal(const char* p) {
        const bool simples = estado.comilla == '\'';
        for (;;) {
            p = simples ? copia_hasta_clase<en_simples>(p, fin, salida)
                        : copia_hasta_clase<en_dobles>(p, fin, salida);
            if (p == fin) {
                return p;
            }
            if (*p == kCR) {
                p = cr(p);
                if (estado.comilla == '\0') {
                    return p;
                }
            } else {
                const bool cierra = !escapada(p);
                *salida++ = *p++;
                if (cierra) {
                    estado.comilla = '\0';
                    return p;
                }
            }
        }
    }

    // Drops the next line's leading spaces from p on.
    const char* salta_sangria(const char* p) {
        p = salta_espacios(p, fin);
        if (p == fin) {
            estado.pendiente = pendiente::sangria;
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
            estado.pendiente = pendiente::cr;
            return fin;
        }
        return p[1] == kLF ? salto_de_linea(p + 2) : p + 1;
    }

    // Drops the comment from p up to the CR or LF that ends it. An LF is kept.
    const char* comentario(const char* p) {
        p = busca_clase<fin_de_comentario>(p, fin);
        if (p == fin) {
            estado.pendiente = pendiente::comentario;
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
            estado.pendiente = pendiente::barra;
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
        const pendiente quedo = estado.pendiente;
        estado.pendiente = pendiente::nada;
        switch (quedo) {
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

// The stop-to-stop scan of `trozo`, from `estado`, writing at `salida`.
char* escanea_por_paradas(estado_escaneo& estado, std::string_view trozo, char* salida) {
    if (trozo.empty()) {
        return salida;
    }
    recorrido_escaneo r{estado, trozo.data(), trozo.data() + trozo.size(), salida};
    const char* p = r.resuelve(r.inicio);
    while (p < r.fin) {
        p = estado.comilla == '\0' ? r.codigo(p) : r.literal(p);
    }
    estado.previo = r.fin[-1];
    return r.salida;
}

}  // namespace

char* escaner::escanea(std::string_view trozo, char* salida) {
    if (via_ != via_escaneo::por_paradas && estado_.pendiente != pendiente_escaneo::barra) {
        trozo.remove_prefix(escanea_bloques(estado_, via_, trozo, salida));
    }
    return escanea_por_paradas(estado_, trozo, salida);
}

char* escaner::cierra_fuente(char* salida) {
    if (estado_.pendiente == pendiente_escaneo::barra) {
        *salida++ = '/';
    } else if (estado_.pendiente == pendiente_escaneo::comentario) {
        // A comment that runs to the end leaves the byte 0 that ends the source.
        *salida++ = '\0';
    }
    estado_.pendiente = pendiente_escaneo::nada;
    return salida;
}

}  // namespace kexo
