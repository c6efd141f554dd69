"""Real PHP for the benchmarks: several of Debian's PHP library packages.

`arbol()` downloads them once (`apt-get download`, which needs a recent
`apt-get update`) and extracts them (`dpkg-deb -x`) under bench/out/; it
returns the folder. `fuente(mb)` concatenates their PHP files to `mb`
megabytes with CR LF line ends.
"""
import os
import subprocess

RAIZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SALIDA = os.path.join(RAIZ, "bench", "out")

PAQUETES = [
    "php-doctrine-orm", "php-doctrine-dbal", "php-guzzlehttp-guzzle", "php-guzzlehttp-psr7",
    "php-htmlpurifier", "php-dompdf", "php-laravel-framework", "php-league-commonmark",
    "php-twig", "php-monolog", "php-phpseclib3", "php-tcpdf", "php-getid3", "php-faker",
    "php-codesniffer", "php-geshi", "php-horde-imp", "php-horde-core", "php-horde-imap-client",
    "php-symfony-console", "php-symfony-http-kernel", "php-symfony-validator",
    "php-symfony-form", "php-symfony-dependency-injection", "php-symfony-framework-bundle",
    "php-phpstan-phpdoc-parser", "php-sabre-dav", "smarty4", "libphp-phpmailer",
]


def arbol() -> str:
    """The extracted tree of the packages, made once."""
    destino = os.path.join(SALIDA, "arbol")
    if os.path.isdir(destino):
        return destino
    debs = os.path.join(SALIDA, "debs")
    os.makedirs(debs, exist_ok=True)
    subprocess.run(["apt-get", "download", *PAQUETES], cwd=debs, check=True,
                   stdout=subprocess.DEVNULL)
    extraido = destino + ".nuevo"
    os.makedirs(extraido, exist_ok=True)
    for deb in sorted(os.listdir(debs)):
        subprocess.run(["dpkg-deb", "-x", os.path.join(debs, deb), extraido], check=True)
    os.rename(extraido, destino)
    return destino


def ficheros_php(raiz: str) -> list:
    """The PHP files under `raiz`, in path order."""
    todos = []
    for carpeta, _, nombres in os.walk(raiz):
        todos += [os.path.join(carpeta, n) for n in nombres
                  if n.endswith(".php") and os.path.isfile(os.path.join(carpeta, n))
                  and not os.path.islink(os.path.join(carpeta, n))]
    return sorted(todos)


def con_cr_lf(datos: bytes) -> bytes:
    return datos.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def arbol_cr_lf() -> str:
    """A copy of the tree whose PHP files have CR LF line ends."""
    origen = arbol()
    destino = origen + "-crlf"
    if os.path.isdir(destino):
        return destino
    subprocess.run(["cp", "-a", origen, destino + ".nuevo"], check=True)
    for ruta in ficheros_php(destino + ".nuevo"):
        with open(ruta, "rb") as f:
            datos = f.read()
        with open(ruta, "wb") as f:
            f.write(con_cr_lf(datos))
    os.rename(destino + ".nuevo", destino)
    return destino


def fuente(mb: int) -> bytes:
    """`mb` megabytes of the tree's PHP, its files one after another, CR LF."""
    partes = []
    tamano = 0
    while tamano < mb * 1_000_000:
        for ruta in ficheros_php(arbol()):
            with open(ruta, "rb") as f:
                datos = con_cr_lf(f.read())
            partes.append(datos)
            tamano += len(datos)
            if tamano >= mb * 1_000_000:
                break
    return b"".join(partes)
