// kexo: compacts a PHP source file into a destination file.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "common/ficheros.h"
#include "common/traza.h"
#include "compaction/compacta.h"
#include "notice/aviso.h"
#include "salida/compactando.h"
#include "salida/destino.h"
#include "salida/destino_sistema.h"
#include "salida/escritor.h"
#include "salida/hilo_ficheros.h"
#include "salida/lectura.h"
#include "salida/via.h"

namespace kexo {
namespace {

// The usage text; "\xa0" is the letter a with acute accent in the console's code page.
constexpr const char* kUso =
    "kexo. ** Error de par\xa0"
    "metros **\n"
    "Uso:    kexo <origen> <destinos>\n"
    "        <origen>    Nombre fichero origen.\n"
    "        <destino>   Nombre fichero destino.\n\n";
constexpr const char* kNoAbre = "Imposible abrir fichero entrada %d\n";
constexpr const char* kNoLee = "Imposible leer fichero entrada %d\n";
constexpr const char* kMismoFichero = "Origen y destino son el mismo fichero\n";
constexpr const char* kSinMemoria = "Memoria insuficiente\n";

constexpr int kFallo = 1;

// From this source size on, when the text goes to a file, a thread of its own
// reads the source and writes the text while the scan goes on; below it, the
// thread's fresh buffers cost more than the overlap saves. A device gains
// nothing from it.
constexpr std::int64_t kEnParaleloDesde = std::int64_t{24} << 20;

int falla(std::FILE* mensajes, const char* mensaje, int numero = 0) {
    std::fprintf(mensajes, mensaje, numero);
    return kFallo;
}

// Where the run's lines go: standard output, unless that is the source file
// itself, which a line must never change (`kexo a.php x >> a.php`).
std::FILE* salida_de_mensajes(std::FILE* origen) {
    return es_salida_estandar(descriptor_de(origen)) ? stderr : stdout;
}

// The run: arguments, source, notice, destination, compaction. Returns the exit status.
int ejecuta(int argc, char** argv) {
    if (argc != 3) {
        std::fputs(kUso, stdout);
        return kFallo;
    }
    via_escaneo via;
    if (!elige_via(via)) {
        return kFallo;
    }
    const std::string ruta_origen = argv[1];
    const std::string ruta_destino = argv[2];
    archivo origen = abre_origen(ruta_origen.c_str());
    if (!origen) {
        return falla(stdout, kNoAbre, errno);
    }
    std::FILE* mensajes = salida_de_mensajes(origen.get());
    const std::string scopy = lee_copyright(lee_entorno("PHPRC"));
    if (mismo_fichero(origen.get(), ruta_destino.c_str())) {
        return falla(mensajes, kMismoFichero);
    }
    destino salida;
    if (const int error = salida.abre(ruta_destino); error != 0) {
        return falla(mensajes, kNoAbre, error);
    }
    // With a notice, the source's first bytes tell where it may stand.
    std::string inicio;
    if (const int error = lee_inicio_para_aviso(origen.get(), scopy, inicio); error != 0) {
        return falla(mensajes, kNoLee, error);
    }
    const colocacion_aviso donde = coloca_aviso(scopy, inicio);
    const std::int64_t tamano = tamano_de(origen.get());
    const bool oculto = salida.oculto_hasta_confirmar();
    const std::unique_ptr<hilo_ficheros> hilo =
        tamano >= kEnParaleloDesde && oculto ? hilo_ficheros::arranca(origen.get(), salida.flujo())
                                             : nullptr;
    // A temporary file shows nothing before it is complete: the text need not
    // wait, unless the traces are to come out before the header's.
    escritor_destino escritor(salida.flujo(), scopy, donde,
                              oculto && nivel_traza < 2 ? 0 : kRetencionMaxima, hilo.get());
    compactacion compactando(via);
    const receptor escribe = [&escritor](std::string_view bytes) { escritor.escribe(bytes); };
    // A `#!` line before the header is written as it is, not compacted.
    compactando.anade(std::string_view(inicio).substr(donde.antes.size()), escribe);
    lectura leida = lee_compactando(origen.get(), tamano, compactando, escribe, hilo.get());
    leida.bytes += static_cast<std::int64_t>(inicio.size());
    if (leida.error != 0) {
        return falla(mensajes, kNoLee, leida.error);
    }
    origen.reset();
    // Standard output written to the destination itself would put this line in it.
    if (!salida.comparte_salida_estandar()) {
        std::fprintf(mensajes, "Longitud origen (%lld)\n", static_cast<long long>(leida.bytes));
    }
    compactando.concluye(escribe, nivel_traza >= 2 ? traza_bytes : nullptr);
    traza("inicia escritura scopy=(%s)\n", scopy.c_str());
    return salida.confirma(escribe_destino(escritor)) == 0 ? 0 : EOF;
}

}  // namespace
}  // namespace kexo

int main(int argc, char** argv) {
    // Memory runs short only when the system has almost none to give.
    try {
        return kexo::ejecuta(argc, argv);
    } catch (const std::bad_alloc&) {
        return kexo::falla(stdout, kexo::kSinMemoria);
    }
}
