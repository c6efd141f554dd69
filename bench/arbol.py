#!/usr/bin/env python3
"""Times kexo-arbol on a real PHP tree against `cp -r` and one kexo per file.

The tree comes from Debian's PHP library packages (bench/php_real.py), once
with its own line ends and once in CR LF. Over alternating runs it prints the
median time of `kexo-arbol` (check on), of `kexo-arbol --modo=php`, of
`cp -r`, and of one `kexo` per PHP file through `xargs -P$(nproc)` (its
folders made beforehand, untimed), their ratios, where one run's time goes
(`--tiempos`), kexo-arbol's peak memory in both modes against the largest
file, and the share of PHP files compacted and left unchanged. It then checks every PHP file written
is kexo's bytes or the source's, and, when `php` is installed, has PHP's own
lexer compare the trees (bench/juez_php.php).

Then the second deploy: over an up-to-date destination, the median time of
a kexo-arbol run that has nothing to do against `rsync -a` over an
up-to-date mirror (alternating runs), and of a run after one source file
changed, with a check that each run rewrote nothing but that file. With
`--arbol FOLDER` only this part runs, over FOLDER (left as it is: the file
changed is in a copy beside it).

    python3 bench/arbol.py [--runs 5] [--arbol FOLDER]
"""
import argparse
import os
import re
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


def construye(build: str) -> None:
    subprocess.run(["cmake", "-S", RAIZ, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKEXO_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "kexo", "kexo-arbol"],
                   check=True, stdout=subprocess.DEVNULL)


def cronometra(orden: list, **kwargs) -> float:
    inicio = time.perf_counter()
    subprocess.run(orden, check=True, stdout=subprocess.DEVNULL, env=ENTORNO, **kwargs)
    return time.perf_counter() - inicio


def por_fichero(kexo: str, origen: str, destino: str) -> list:
    """The command that runs one kexo per PHP file, its folders made now."""
    pares = []
    for ruta in php_real.ficheros_php(origen):
        copia = os.path.join(destino, os.path.relpath(ruta, origen))
        os.makedirs(os.path.dirname(copia), exist_ok=True)
        pares += [ruta, copia]
    lista = destino + ".lista"
    with open(lista, "wb") as f:
        f.write(b"\0".join(p.encode() for p in pares) + b"\0")
    return ["sh", "-c", f'xargs -0 -n2 -P{os.cpu_count()} "$0" < "$1"', kexo, lista]


def mide(arbol: str, kexo: str, kexo_arbol: str, trabajo: str, runs: int, nombre: str) -> str:
    """Times the three over `arbol`; returns the folder kexo-arbol wrote last."""
    tiempos = {"kexo-arbol": [], "--modo=php": [], "cp -r": [], "kexo per file": []}
    for i in range(runs):
        # Each run writes a fresh folder: deleting one just before makes new
        # files slower to create on ext4, for all alike.
        salida = os.path.join(trabajo, f"{nombre}-arbol-{i}")
        tiempos["kexo-arbol"].append(cronometra([kexo_arbol, arbol, salida]))
        tiempos["--modo=php"].append(cronometra([kexo_arbol, "--modo=php", arbol,
                                                 os.path.join(trabajo, f"{nombre}-php-{i}")]))
        tiempos["cp -r"].append(cronometra(["cp", "-r", arbol, os.path.join(trabajo, f"{nombre}-cp-{i}")]))
        orden = por_fichero(kexo, arbol, os.path.join(trabajo, f"{nombre}-kexo-{i}"))
        tiempos["kexo per file"].append(cronometra(orden))
    medianas = {n: statistics.median(t) for n, t in tiempos.items()}
    print(f"{nombre}: {runs} alternating runs, medians:")
    for n, segundos in medianas.items():
        print(f"  {n:14s} {segundos:7.3f} s")
    print(f"  kexo-arbol / cp -r          = {medianas['kexo-arbol'] / medianas['cp -r']:.2f}  (goal: 1.5 or less)")
    print(f"  --modo=php / cp -r          = {medianas['--modo=php'] / medianas['cp -r']:.2f}  (goal: 1.5 or less)")
    print(f"  --modo=php / kexo-arbol     = {medianas['--modo=php'] / medianas['kexo-arbol']:.2f}  (goal: 1.2 or less)")
    reparto = subprocess.run([kexo_arbol, "--tiempos", arbol, os.path.join(trabajo, f"{nombre}-tiempos")],
                             check=True, capture_output=True, text=True, env=ENTORNO).stdout
    print("  " + reparto[reparto.index("Tiempos:"):].replace("\n", "\n  ").rstrip())
    print(f"  kexo per file / kexo-arbol  = {medianas['kexo per file'] / medianas['kexo-arbol']:.1f}  (goal: 30 or more)")
    return salida


def memoria_y_reparto(arbol: str, kexo_arbol: str, trabajo: str, nombre: str) -> None:
    orden = [kexo_arbol, "-n", arbol, os.path.join(trabajo, "nada")]
    medidor = bench.programa_estatico(trabajo, "pico", bench.PICO_C)
    pico = bench.pico_de_memoria(medidor, orden, env=ENTORNO)
    pico_php = bench.pico_de_memoria(medidor, [kexo_arbol, "-n", "--modo=php"] + orden[2:],
                                     env=ENTORNO)
    informe = subprocess.run(orden, check=True, capture_output=True, text=True, env=ENTORNO).stdout
    mayor = max(os.path.getsize(os.path.join(c, n)) for c, _, ns in os.walk(arbol) for n in ns
                if os.path.isfile(os.path.join(c, n)))
    cifras = re.search(r"Compactados (\d+) \(\d+ por las reglas de PHP\), sin compactar (\d+)", informe)
    compactados, sin = int(cifras.group(1)), int(cifras.group(2))
    total = compactados + sin
    print(f"  {nombre}: {total} PHP files, {compactados} compacted ({100 * compactados / total:.1f} %), "
          f"{sin} left unchanged ({100 * sin / total:.1f} %)")
    print(f"  kexo-arbol peak memory {int(pico) / 1024:.1f} MiB, --modo=php {int(pico_php) / 1024:.1f} MiB, "
          f"largest file {mayor / 2**20:.1f} MiB")


def comprueba(arbol: str, salida: str, kexo: str, trabajo: str) -> None:
    """Every PHP file written is kexo's bytes or the source's; PHP agrees."""
    distintos = 0
    for ruta in php_real.ficheros_php(arbol):
        copia = os.path.join(salida, os.path.relpath(ruta, arbol))
        suyo = os.path.join(trabajo, "kexo.php")
        subprocess.run([kexo, ruta, suyo], check=True, stdout=subprocess.DEVNULL, env=ENTORNO)
        with open(copia, "rb") as a, open(suyo, "rb") as b, open(ruta, "rb") as c:
            escrito = a.read()
            distintos += escrito != b.read() and escrito != c.read()
    print(f"  PHP files neither kexo's bytes nor the source's: {distintos}")
    if shutil.which("php"):
        subprocess.run(["php", os.path.join(RAIZ, "bench", "juez_php.php"), arbol, salida], check=False)


def huellas(raiz: str) -> dict:
    """Each entry under `raiz`: its inode and modification time, in ns."""
    todas = {}
    for carpeta, carpetas, nombres in os.walk(raiz):
        for nombre in carpetas + nombres:
            ruta = os.path.join(carpeta, nombre)
            estado = os.lstat(ruta)
            todas[os.path.relpath(ruta, raiz)] = (estado.st_ino, estado.st_mtime_ns)
    return todas


def reescritos(antes: dict, despues: dict) -> list:
    return sorted(r for r in despues if antes.get(r) != despues[r])


def mide_incremental(arbol: str, kexo_arbol: str, trabajo: str, runs: int) -> None:
    """The no-op run against `rsync -a`, and the run after one change."""
    fuente = os.path.join(trabajo, "fuente")
    subprocess.run(["cp", "-a", arbol, fuente], check=True)
    copia, espejo = os.path.join(trabajo, "copia"), os.path.join(trabajo, "espejo")
    subprocess.run([kexo_arbol, fuente, copia], check=True, stdout=subprocess.DEVNULL, env=ENTORNO)
    subprocess.run(["rsync", "-a", fuente + "/", espejo + "/"], check=True)
    tiempos = {"kexo-arbol no-op": [], "rsync -a no-op": [], "kexo-arbol one change": []}
    antes = huellas(copia)
    for _ in range(runs):
        tiempos["kexo-arbol no-op"].append(cronometra([kexo_arbol, fuente, copia]))
        tiempos["rsync -a no-op"].append(cronometra(["rsync", "-a", fuente + "/", espejo + "/"]))
    tocados = reescritos(antes, huellas(copia))
    print(f"  no-op runs rewrote {len(tocados)} entries")
    cambiado = php_real.ficheros_php(fuente)[len(php_real.ficheros_php(fuente)) // 2]
    relativo = os.path.relpath(cambiado, fuente)
    otros = set()
    for i in range(runs):
        with open(cambiado, "ab") as f:
            f.write(f"\n// cambio {i}\n".encode())
        antes = huellas(copia)
        tiempos["kexo-arbol one change"].append(cronometra([kexo_arbol, fuente, copia]))
        otros |= set(reescritos(antes, huellas(copia))) - {relativo, os.path.dirname(relativo)}
    print(f"  runs after one change rewrote {len(otros)} other entries")
    medianas = {n: statistics.median(t) for n, t in tiempos.items()}
    print(f"second deploy over {arbol} ({len(antes)} entries), {runs} alternating runs, medians:")
    for n, segundos in medianas.items():
        print(f"  {n:22s} {segundos:7.3f} s")
    print(f"  no-op / rsync -a no-op      = "
          f"{medianas['kexo-arbol no-op'] / medianas['rsync -a no-op']:.2f}  (goal: 1.0 or less)")
    print(f"  one change / no-op          = "
          f"{medianas['kexo-arbol one change'] / medianas['kexo-arbol no-op']:.2f}  (goal: 1.5 or less)")


def main() -> None:
    argumentos = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    argumentos.add_argument("--runs", type=int, default=5)
    argumentos.add_argument("--arbol", help="only the second deploy, over this tree")
    opciones = argumentos.parse_args()
    build = os.path.join(RAIZ, "build-bench")
    construye(build)
    kexo, kexo_arbol = os.path.join(build, "kexo"), os.path.join(build, "kexo-arbol")
    if opciones.arbol:
        arbol = os.path.abspath(opciones.arbol)
        # Beside the tree, on its file system.
        with tempfile.TemporaryDirectory(prefix="kexo_arbol_", dir=os.path.dirname(arbol)) as trabajo:
            mide_incremental(arbol, kexo_arbol, trabajo, opciones.runs)
        return
    arboles = {"LF tree": php_real.arbol(), "CR LF tree": php_real.arbol_cr_lf()}
    with tempfile.TemporaryDirectory(prefix="kexo_arbol_", dir=php_real.SALIDA) as trabajo:
        for nombre, arbol in arboles.items():
            salida = mide(arbol, kexo, kexo_arbol, trabajo, opciones.runs, nombre.split()[0])
            memoria_y_reparto(arbol, kexo_arbol, trabajo, nombre)
            comprueba(arbol, salida, kexo, trabajo)
            mide_incremental(arbol, kexo_arbol, trabajo, opciones.runs)


if __name__ == "__main__":
    main()
