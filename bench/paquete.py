#!/usr/bin/env python3
"""Times kexo-arbol writing archives of a real PHP tree, on a tmpfs.

The tree comes from Debian's PHP library packages (bench/php_real.py),
copied to /dev/shm. Over alternating runs it prints the median time of
`kexo-arbol --modo=php` writing a PHAR against `tar -cf` of the source, a zip
against `zip -qr`, a tar and a tgz; then PHP's own `Phar` builder (which compacts
nothing) over the same files when `php` is installed; then kexo-arbol's peak
memory with -j2 for each format, on the tree and on ten copies of it side by
side. Last, the reproducibility: two runs give the same bytes.

    python3 bench/paquete.py [--runs 5]
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
import bench  # noqa: E402
import php_real  # noqa: E402

ENTORNO = {k: v for k, v in os.environ.items() if k != "PHPRC"}
ENTORNO["SOURCE_DATE_EPOCH"] = "1700000000"

# Phar::buildFromDirectory, less the links it refuses (those leading out of the tree).
PHAR_PHP = ("$p = new Phar($argv[2]); $f = []; foreach (new RecursiveIteratorIterator("
            "new RecursiveDirectoryIterator($argv[1], FilesystemIterator::SKIP_DOTS)) as $r) "
            "if (!is_link($r)) $f[substr($r, strlen($argv[1]) + 1)] = (string) $r; "
            "$p->buildFromIterator(new ArrayIterator($f)); $p->setStub($p->createDefaultStub());")


def construye(build: str) -> None:
    subprocess.run(["cmake", "-S", RAIZ, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKEXO_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "kexo-arbol"],
                   check=True, stdout=subprocess.DEVNULL)


def cronometra(orden: list, **kwargs) -> float:
    inicio = time.perf_counter()
    hecho = subprocess.run(orden, stdout=subprocess.DEVNULL, env=ENTORNO, **kwargs)
    segundos = time.perf_counter() - inicio
    # 2: a link the PHAR cannot hold was left out, as it says.
    if hecho.returncode not in (0, 2):
        raise subprocess.CalledProcessError(hecho.returncode, orden)
    return segundos


def medianas(ordenes: dict, runs: int, trabajo: str) -> dict:
    """Each command of `ordenes` (name -> function of the output path), in turn, `runs` times."""
    tiempos = {n: [] for n in ordenes}
    for i in range(runs):
        for nombre, orden in ordenes.items():
            extension = ".zip" if "zip" in nombre else "." + nombre.split()[0]
            salida = os.path.join(trabajo, f"{i}-{nombre.replace(' ', '_')}{extension}")
            tiempos[nombre].append(cronometra(orden(salida)))
            os.remove(salida)
    return {n: statistics.median(t) for n, t in tiempos.items()}


def main() -> None:
    argumentos = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    argumentos.add_argument("--runs", type=int, default=5)
    opciones = argumentos.parse_args()
    build = os.path.join(RAIZ, "build-bench")
    construye(build)
    kexo_arbol = os.path.join(build, "kexo-arbol")
    with tempfile.TemporaryDirectory(prefix="kexo_paquete_", dir="/dev/shm") as trabajo:
        arbol = os.path.join(trabajo, "arbol")
        shutil.copytree(php_real.arbol(), arbol, symlinks=True)
        ka = [kexo_arbol, "--modo=php", "-j2"]
        ordenes = {
            "phar": lambda s: ka + ["--formato=phar", arbol, s],
            "tar -cf": lambda s: ["tar", "-cf", s, "-C", arbol, "."],
            "zip": lambda s: ka + ["--formato=zip", arbol, s],
            "zip -qr": lambda s: ["sh", "-c", 'cd "$0" && exec zip -qry "$1" .', arbol, s],
            "tar": lambda s: ka + ["--formato=tar", arbol, s],
            "tgz": lambda s: ka + ["--formato=tgz", arbol, s],
        }
        m = medianas(ordenes, opciones.runs, trabajo)
        print(f"{opciones.runs} alternating runs on a tmpfs, medians:")
        for n, segundos in m.items():
            print(f"  {n:10s} {segundos:7.3f} s")
        print(f"  phar / tar -cf  = {m['phar'] / m['tar -cf']:.2f}  (goal: 1.5 or less; moonshot 1.2)")
        print(f"  zip / zip -qr   = {m['zip'] / m['zip -qr']:.2f}  (goal: 1.2 or less)")
        if shutil.which("php"):
            salida = os.path.join(trabajo, "php.phar")
            php = cronometra(["php", "-d", "phar.readonly=0", "-r", PHAR_PHP, arbol, salida])
            print(f"  Phar::buildFromDirectory {php:.3f} s: {php / m['phar']:.1f} times kexo-arbol's "
                  f"PHAR (goal: 5 or more)")
        pico = bench.programa_estatico(trabajo, "pico", bench.PICO_C)
        diez = os.path.join(trabajo, "diez")
        os.makedirs(diez)
        for i in range(10):
            os.symlink(arbol, os.path.join(diez, f"link{i}"))
            shutil.copytree(arbol, os.path.join(diez, str(i)), symlinks=True)
        for fmt in ("phar", "zip", "tar", "tgz"):
            picos = []
            for raiz in (arbol, diez):
                orden = ka + ["--formato=" + fmt, raiz, os.path.join(trabajo, "pico." + fmt)]
                # A link stays out of a PHAR: a reported exit status 2 is expected there.
                orden = ["sh", "-c", '"$@" >/dev/null; [ $? -le 2 ]', "sh"] + orden
                picos.append(bench.pico_de_memoria(pico, orden, env=ENTORNO) / 1024)
            print(f"  peak memory -j2 {fmt:4s}: {picos[0]:.1f} MiB, ten trees {picos[1]:.1f} MiB "
                  f"(goal: under 32)")
        # One name in two folders: a PHAR's alias is its file name.
        dos = [os.path.join(trabajo, f"r{i}", "app.phar") for i in range(2)]
        for s in dos:
            os.makedirs(os.path.dirname(s))
            subprocess.run(ka + [arbol, s], env=ENTORNO, stdout=subprocess.DEVNULL)
        with open(dos[0], "rb") as a, open(dos[1], "rb") as b:
            print("  two runs:", "the same bytes" if a.read() == b.read() else "DIFFERENT BYTES")


if __name__ == "__main__":
    main()
