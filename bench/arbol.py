#!/usr/bin/env python3
"""Times kexo-arbol on trees of ordinary PHP against `cp -r`.

The trees: Debian's PHP libraries (bench/php_real.py) without tcpdf's font
tables, and WordPress core as Debian's `wordpress` package installs it (its
links followed), each with its own line ends and in CR LF, copied into a
work folder (a tmpfs, /dev/shm, when there is one). Over alternating runs,
each into a fresh folder, it prints the median time of `kexo-arbol` (PHP's
rules, the default), of `kexo-arbol --modo=kexo` and of `cp -r`, and their
ratios; the speed of PHP's rules and of their check a core, from
`--tiempos` (PHP bytes over each phase's time summed over the threads);
peak memory; and has PHP's own lexer judge the trees written
(bench/juez_php.php: every token on its line in the default mode).
`--por-fichero` also times one `kexo` per PHP file through `xargs -P`.
`--diez` measures peak memory and time on each LF tree copied ten times.

Then the second deploy: over an up-to-date destination, the median time of
a kexo-arbol run that has nothing to do against `rsync -a` over an
up-to-date mirror (alternating runs), and of a run after one source file
changed, with a check that each run rewrote nothing but that file. With
`--arbol FOLDER` only this part runs, over FOLDER (left as it is: the file
changed is in a copy beside it).

    python3 bench/arbol.py [--runs 5] [--trabajo DIR] [--por-fichero] [--diez] [--arbol FOLDER]
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


def nombre_de(tamano: int) -> str:
    return f"{tamano / 1e6:.1f} MB"


def mide(arbol: str, kexo: str, kexo_arbol: str, trabajo: str, runs: int, nombre: str,
         por_fichero_tambien: bool) -> tuple:
    """Times them over `arbol`; returns the folders the two modes wrote last."""
    ordenes = {
        "kexo-arbol": lambda d: [kexo_arbol, "-j2", arbol, d],
        "--modo=kexo": lambda d: [kexo_arbol, "-j2", "--modo=kexo", arbol, d],
        "cp -r": lambda d: ["cp", "-r", arbol, d],
    }
    if por_fichero_tambien:
        ordenes["kexo per file"] = None
    tiempos = {n: [] for n in ordenes}
    salidas = {}  # each command's last folder
    for i in range(runs):
        for n, orden in ordenes.items():
            # Each run writes a fresh folder; the one before is removed, untimed.
            if n in salidas:
                shutil.rmtree(salidas[n])
            salidas[n] = os.path.join(trabajo, f"{nombre}-{n.strip('-=').replace(' ', '')}-{i}")
            orden = orden(salidas[n]) if orden else por_fichero(kexo, arbol, salidas[n])
            tiempos[n].append(cronometra(orden))
    medianas = {n: statistics.median(t) for n, t in tiempos.items()}
    print(f"{nombre}: {runs} alternating runs, medians:")
    for n, segundos in medianas.items():
        print(f"  {n:14s} {segundos:7.3f} s")
    print(f"  kexo-arbol / cp -r          = {medianas['kexo-arbol'] / medianas['cp -r']:.2f}  "
          "(goal: 1.5 or less; 1.25 or less; moonshot 1.2)")
    print(f"  --modo=kexo / cp -r         = {medianas['--modo=kexo'] / medianas['cp -r']:.2f}")
    if por_fichero_tambien:
        print(f"  kexo per file / kexo-arbol  = "
              f"{medianas['kexo per file'] / medianas['kexo-arbol']:.1f}  (goal: 30 or more)")
    for n in ordenes:
        if n not in ("kexo-arbol", "--modo=kexo"):
            shutil.rmtree(salidas[n])
    return salidas["kexo-arbol"], salidas["--modo=kexo"]


def velocidades(arbol: str, kexo_arbol: str, trabajo: str, runs: int) -> None:
    """PHP's rules and their check, MB/s a core, from --tiempos (medians)."""
    reglas, control = [], []
    for i in range(runs):
        salida = os.path.join(trabajo, f"tiempos-{i}")
        texto = subprocess.run([kexo_arbol, "-j2", "--tiempos", arbol, salida], check=True,
                               capture_output=True, text=True, env=ENTORNO).stdout
        shutil.rmtree(salida)
        php = int(re.search(r"PHP (\d+) -> ", texto).group(1))
        fase = {m.group(1): float(m.group(2)) for m in re.finditer(r"(\w+) +([\d.]+) s", texto)}
        reglas.append(php / fase["compactacion"] / 1e6)
        control.append(php / fase["comprobacion"] / 1e6)
        ultimo = texto
    print("  " + ultimo[ultimo.index("Tiempos:"):].replace("\n", "\n  ").rstrip())
    print(f"  PHP's rules {statistics.median(reglas):.0f} MB/s a core (goal: 500 or more), "
          f"their check {statistics.median(control):.0f} MB/s (goal: 1000 or more)")


def memoria(arbol: str, kexo_arbol: str, trabajo: str, nombre: str) -> None:
    medidor = bench.programa_estatico(trabajo, "pico", bench.PICO_C)
    picos = []
    for modo in [[], ["--modo=kexo"]]:
        salida = os.path.join(trabajo, "memoria")
        picos.append(bench.pico_de_memoria(medidor, [kexo_arbol, "-j2"] + modo + [arbol, salida],
                                           env=ENTORNO))
        if not modo:
            picos.append(bench.pico_de_memoria(medidor, [kexo_arbol, "-j2", arbol, salida],
                                               env=ENTORNO))
        shutil.rmtree(salida)
    print(f"  {nombre}: peak memory -j2 {picos[0] / 1024:.1f} MiB, its no-op rerun "
          f"{picos[1] / 1024:.1f} MiB, --modo=kexo {picos[2] / 1024:.1f} MiB (goal: under 32)")


def comprueba(arbol: str, por_defecto: str, kexo: str) -> None:
    """PHP's lexer judges both trees: every token on its line in the default mode."""
    if shutil.which("php"):
        juez = os.path.join(RAIZ, "bench", "juez_php.php")
        subprocess.run(["php", juez, "--lineas", arbol, por_defecto], check=False)
        subprocess.run(["php", juez, arbol, kexo], check=False)


def diez_veces(arbol: str, kexo_arbol: str, trabajo: str, runs: int, nombre: str) -> None:
    """Peak memory and time on the tree copied ten times, against cp -r."""
    grande = os.path.join(trabajo, f"{nombre}-diez")
    os.makedirs(grande)
    for i in range(10):
        subprocess.run(["cp", "-a", arbol, os.path.join(grande, str(i))], check=True)
    for salida in mide(grande, "", kexo_arbol, trabajo, runs, f"{nombre}x10", False):
        shutil.rmtree(salida)
    memoria(grande, kexo_arbol, trabajo, f"{nombre} x10")
    shutil.rmtree(grande)


def arboles(trabajo: str) -> dict:
    """The trees, copied into `trabajo`: name to folder."""
    todos = {}
    libs = os.path.join(trabajo, "libs")
    subprocess.run(["cp", "-a", php_real.arbol(), libs], check=True)
    shutil.rmtree(os.path.join(libs, "usr/share/php/tcpdf/fonts"), ignore_errors=True)
    todos["libs"] = libs
    if os.path.isdir("/usr/share/wordpress"):
        wp = os.path.join(trabajo, "wordpress")
        subprocess.run(["cp", "-rL", "/usr/share/wordpress", wp], check=True)
        todos["wordpress"] = wp
    for nombre, lf in list(todos.items()):
        crlf = lf + "-crlf"
        subprocess.run(["cp", "-a", lf, crlf], check=True)
        for ruta in php_real.ficheros_php(crlf):
            with open(ruta, "rb") as f:
                datos = f.read()
            with open(ruta, "wb") as f:
                f.write(php_real.con_cr_lf(datos))
        todos[nombre + " CR LF"] = crlf
    return todos


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
    argumentos.add_argument("--trabajo", default="/dev/shm" if os.access("/dev/shm", os.W_OK)
                            else php_real.SALIDA, help="where the trees and outputs go")
    argumentos.add_argument("--por-fichero", action="store_true")
    argumentos.add_argument("--diez", action="store_true")
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
    with tempfile.TemporaryDirectory(prefix="kexo_arbol_", dir=opciones.trabajo) as trabajo:
        for nombre, arbol in arboles(trabajo).items():
            php = sum(os.path.getsize(r) for r in php_real.ficheros_php(arbol))
            print(f"== {nombre}: {arbol}, {nombre_de(php)} of PHP")
            por_defecto, kexo_salida = mide(arbol, kexo, kexo_arbol, trabajo, opciones.runs,
                                            nombre.replace(" ", ""), opciones.por_fichero)
            velocidades(arbol, kexo_arbol, trabajo, opciones.runs)
            memoria(arbol, kexo_arbol, trabajo, nombre)
            comprueba(arbol, por_defecto, kexo_salida)
            shutil.rmtree(por_defecto)
            shutil.rmtree(kexo_salida)
            segundo = tempfile.mkdtemp(dir=trabajo)
            mide_incremental(arbol, kexo_arbol, segundo, opciones.runs)
            shutil.rmtree(segundo)
            if opciones.diez and "CR LF" not in nombre:
                diez_veces(arbol, kexo_arbol, trabajo, opciones.runs, nombre)


if __name__ == "__main__":
    main()
