#!/usr/bin/env python3
"""Times kexo against the floor of copying a file, and against `php -w`.

Builds kexo (Release) and the core benchmark in build-bench/, and writes two
CR LF PHP sources of about 100 MB: one generated, one made of real PHP from
Debian's library packages (bench/php_real.py). For each, alternating the tools
over several runs, it prints the median time and throughput of kexo, of
`dd bs=1M` (a copy through user space) and, when installed, of buffered
`php -w`, their ratios, and kexo's peak memory. Then the cost of running kexo
once per file over 2,000 small files against a trivial statically linked
program and against a static program that only copies each file, and the core
benchmark on both sources.

    python3 bench/bench.py [--mb 100] [--runs 5] [--files 2000]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RAIZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(RAIZ, "bench"))
import genera_php  # noqa: E402
import php_real  # noqa: E402


def construye(build: str) -> None:
    subprocess.run(["cmake", "-S", RAIZ, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKEXO_TESTS=OFF", "-DKEXO_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2"], check=True, stdout=subprocess.DEVNULL)


def escribe_fuente(ruta: str, tamano: int, semilla: int = 1) -> None:
    with open(ruta, "wb") as salida:
        salida.write(genera_php.fuente(tamano, semilla))


def cronometra(orden: list, **kwargs) -> float:
    """Runs `orden`; returns the seconds it took."""
    inicio = time.perf_counter()
    subprocess.run(orden, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - inicio


# Runs a command, its standard output to /dev/null, and prints its peak
# resident set size in KiB. A child counts the memory it had before its exec,
# which it shares with its parent: so the parent must be this small program,
# not Python.
PICO_C = r"""
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    int estado;
    struct rusage uso;
    if (argc < 2) return 1;
    pid_t hijo = fork();
    if (hijo == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    if (hijo < 0 || wait4(hijo, &estado, 0, &uso) < 0 || !WIFEXITED(estado) || WEXITSTATUS(estado) != 0)
        return 1;
    printf("%ld\n", uso.ru_maxrss);
    return 0;
}
"""


def pico_de_memoria(pico: str, orden: list, **kwargs) -> int:
    """Runs `orden` under the program `pico` (PICO_C); returns its peak resident set size in KiB."""
    medida = subprocess.run([pico] + orden, check=True, capture_output=True, text=True, **kwargs)
    return int(medida.stdout)


def rendimiento(kexo: str, fuente: str, trabajo: str, runs: int) -> None:
    tamano = os.path.getsize(fuente)
    destino = os.path.join(trabajo, "destino.php")
    herramientas = {
        "kexo": [kexo, fuente, destino],
        "dd": ["dd", f"if={fuente}", f"of={destino}", "bs=1M", "status=none"],
    }
    if shutil.which("php"):
        herramientas["php -w"] = ["sh", "-c", f"php -d output_buffering=1048576 -w {fuente} > {destino}"]
    entorno = {k: v for k, v in os.environ.items() if k != "PHPRC"}
    tiempos = {nombre: [] for nombre in herramientas}
    for _ in range(runs):
        for nombre, orden in herramientas.items():
            # The previous run's writes go to disk first, not during this one.
            os.sync()
            tiempos[nombre].append(cronometra(orden, env=entorno))
    pico = programa_estatico(trabajo, "pico", PICO_C)
    pico_kexo = max(pico_de_memoria(pico, herramientas["kexo"], env=entorno) for _ in range(3))
    print(f"{os.path.basename(fuente)}: {tamano / 1e6:.1f} MB of CR LF PHP, {runs} alternating runs, medians:")
    medianas = {nombre: statistics.median(t) for nombre, t in tiempos.items()}
    for nombre, segundos in medianas.items():
        print(f"  {nombre:8s} {segundos:7.3f} s  {tamano / 1e6 / segundos:8.0f} MB/s")
    print(f"  kexo / dd     = {medianas['kexo'] / medianas['dd']:.2f}  (goal: 1.5 or less)")
    if "php -w" in medianas:
        print(f"  php -w / kexo = {medianas['php -w'] / medianas['kexo']:.1f}  (goal: 12 or more)")
    print(f"  kexo peak memory: {pico_kexo / 1024:.1f} MiB  (goal: under 16 MiB)")


# The least any program that writes a file per source must do: open both,
# read, write, close.
COPIA_C = r"""
#include <fcntl.h>
#include <unistd.h>
int main(int argc, char** argv) {
    static char bloque[1 << 16];
    if (argc != 3) return 1;
    int origen = open(argv[1], O_RDONLY), destino = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ssize_t n;
    while ((n = read(origen, bloque, sizeof bloque)) > 0) write(destino, bloque, (size_t)n);
    close(origen);
    return close(destino) != 0;
}
"""


# The same through a temporary file that takes the destination's name only
# once complete, as kexo writes: the floor of a job that never damages a file.
COPIA_SEGURA_C = r"""
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
int main(int argc, char** argv) {
    static char bloque[1 << 16];
    char carpeta[4096], enlace[64], nombre[4200];
    if (argc != 3 || strlen(argv[2]) >= sizeof carpeta) return 1;
    strcpy(carpeta, argv[2]);
    char* barra = strrchr(carpeta, '/');
    if (barra) *barra = 0; else strcpy(carpeta, ".");
    int origen = open(argv[1], O_RDONLY), destino = open(carpeta, O_WRONLY | O_TMPFILE, 0666);
    ssize_t n;
    while ((n = read(origen, bloque, sizeof bloque)) > 0) write(destino, bloque, (size_t)n);
    close(origen);
    snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", destino);
    snprintf(nombre, sizeof nombre, "%s/.copia-%d", carpeta, (int)getpid());
    if (linkat(AT_FDCWD, enlace, AT_FDCWD, nombre, AT_SYMLINK_FOLLOW) != 0 || close(destino) != 0)
        return 1;
    return rename(nombre, argv[2]) != 0;
}
"""


def programa_estatico(trabajo: str, nombre: str, codigo: str) -> str:
    ruta = os.path.join(trabajo, nombre)
    with open(ruta + ".c", "w") as c:
        c.write(codigo)
    subprocess.run(["cc", "-O2", "-static", ruta + ".c", "-o", ruta], check=True)
    return ruta


def arranque(kexo: str, trabajo: str, archivos: int, runs: int) -> None:
    carpeta = os.path.join(trabajo, "pequenos")
    os.makedirs(carpeta, exist_ok=True)
    for i in range(archivos):
        escribe_fuente(os.path.join(carpeta, f"f{i}.php"), 2000, semilla=i)
    programas = {
        "kexo": kexo,
        "trivial": programa_estatico(trabajo, "trivial", "int main(void) { return 0; }\n"),
        "copy": programa_estatico(trabajo, "copia", COPIA_C),
        "safe copy": programa_estatico(trabajo, "copia_segura", COPIA_SEGURA_C),
    }
    bucle = 'for f in "$1"/f*.php; do "$0" "$f" "$f.min" >/dev/null; done'
    tiempos = {nombre: [] for nombre in programas}
    for _ in range(runs):
        for nombre, programa in programas.items():
            tiempos[nombre].append(cronometra(["sh", "-c", bucle, programa, carpeta]))
    por_archivo = {n: statistics.median(t) / archivos * 1000 for n, t in tiempos.items()}
    print(f"once per file over {archivos} files of about 2 KB, {runs} alternating runs, medians:")
    for nombre, ms in por_archivo.items():
        print(f"  {nombre:9s} {ms:6.2f} ms a file")
    print(f"  kexo / trivial = {por_archivo['kexo'] / por_archivo['trivial']:.2f}  (goal: 1.2 or less)")
    print(f"  copy / trivial = {por_archivo['copy'] / por_archivo['trivial']:.2f}  "
          "(a static program that only copies the file: the floor of the job)")
    print(f"  kexo / copy    = {por_archivo['kexo'] / por_archivo['copy']:.2f}  (goal: 1.1 or less)")
    print(f"  kexo / safe copy = {por_archivo['kexo'] / por_archivo['safe copy']:.2f}  "
          "(the copy through a temporary file, as kexo writes)")


def main() -> None:
    argumentos = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    argumentos.add_argument("--mb", type=int, default=100)
    argumentos.add_argument("--runs", type=int, default=5)
    argumentos.add_argument("--files", type=int, default=2000)
    opciones = argumentos.parse_args()
    build = os.path.join(RAIZ, "build-bench")
    construye(build)
    kexo = os.path.join(build, "kexo")
    with tempfile.TemporaryDirectory(prefix="kexo_bench_") as trabajo:
        generada = os.path.join(trabajo, "generated.php")
        escribe_fuente(generada, opciones.mb * 1_000_000)
        real = os.path.join(trabajo, "real.php")
        with open(real, "wb") as f:
            f.write(php_real.fuente(opciones.mb))
        # The core first, before the disk's background work from the runs below;
        # the median of three repetitions, since the machine may be shared. It
        # ends with the ways side by side and the one this processor picks.
        print("core alone:")
        subprocess.run([os.path.join(build, "compacta_bench"), "--benchmark_repetitions=3",
                        "--benchmark_display_aggregates_only=true"], check=True,
                       env=dict(os.environ, KEXO_FUENTE_REAL=real))
        for fuente in (generada, real):
            rendimiento(kexo, fuente, trabajo, opciones.runs)
        arranque(kexo, trabajo, opciones.files, opciones.runs)


if __name__ == "__main__":
    main()
