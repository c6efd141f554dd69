#!/usr/bin/env python3
"""Writes a realistic PHP source with CR LF line ends of about the given size.

Indented code, `//` comments (whole lines and after code), quoted strings that
hold `//` and escaped quotes, blank lines and some HTML. The output is the same
for the same size and seed.
"""
import random
import sys


def bloque(r: random.Random, n: int) -> list:
    nombre = f"func_{n}"
    sangria = " " * r.choice((4, 8))
    lineas = [
        f"// {nombre}: computes the value for the current request",
        f"function {nombre}($entrada, $opciones = array())",
        "{",
        f"{sangria}$url = 'https://example.com/api//v{n % 7}/items'; // endpoint",
        f"{sangria}$texto = \"He said \\\"hello\\\" // not a comment\";",
        f"{sangria}$cita = 'it\\'s // fine';",
        "",
        f"{sangria}// loop over the options",
        f"{sangria}foreach ($opciones as $clave => $valor) {{",
        f"{sangria}    if ($valor > {r.randint(0, 999)}) {{   // threshold",
        f"{sangria}        $entrada[$clave] = $valor * {r.randint(2, 9)};",
        f"{sangria}    }}",
        f"{sangria}}}",
        f"{sangria}return $entrada;",
        "}",
        "",
    ]
    if n % 5 == 0:
        lineas += [
            "?>",
            f"<div class=\"item-{n}\">",
            f"  <a href=\"http://example.com/{n}\">Item {n}</a>",
            "</div>",
            "<?php",
        ]
    return lineas


def fuente(tamano: int, semilla: int = 1) -> bytes:
    """A source of about `tamano` bytes, ending in `?>`."""
    r = random.Random(semilla)
    partes = [b"<?php\r\n"]
    escrito = len(partes[0])
    n = 0
    while escrito < tamano:
        texto = ("\r\n".join(bloque(r, n)) + "\r\n").encode()
        partes.append(texto)
        escrito += len(texto)
        n += 1
    partes.append(b"?>\r\n")
    return b"".join(partes)


def main() -> None:
    tamano = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000_000
    semilla = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    sys.stdout.buffer.write(fuente(tamano, semilla))


if __name__ == "__main__":
    main()
