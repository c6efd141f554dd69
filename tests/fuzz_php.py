#!/usr/bin/env python3
"""Differential fuzzing of the lexical check against PHP's own tokenizer.

Builds random PHP sources from fragments (strings of every kind, heredoc and
nowdoc, comments, #[, -> and ?->, casts, tags, __LINE__, __halt_compiler,
every kind of line end), and for each one:

  - kexo's compaction, judged by the check (compara_php) and by PHP;
  - PHP's rules (compacta_php), judged the same way with every token on its
    line, and applied twice;
  - a random edit of the source (a line joined, whitespace or a comment
    dropped, a byte taken out), judged both ways.

`sonda_lexica lote` gives the check's verdicts, `php bench/juez_php.php
--pares` PHP's (token_get_all without TOKEN_PARSE: token kinds and texts,
whitespace and comments left out, doc comments kept, __LINE__'s line, every
line in the lines mode). A disagreement where the check finds them the same
and PHP does not is unsafe; the reverse is a false alarm, which only costs
savings. Each disagreement is cut down to fewer fragments and written to the
output folder; the run exits 1 when there is an unsafe one, or when PHP's rules
break a property of their own.

  python3 tests/fuzz_php.py --sonda build/sonda_lexica [--segundos 600]
                            [--salida DIR] [--semilla N] [--lote 400]
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

RAIZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JUEZ = os.path.join(RAIZ, "bench", "juez_php.php")

SALTOS = ["\n", "\r\n", "\r"]

# How many tokens of a source PHP's rules keep for their check.
PIEZAS_GUARDADAS = 1 << 18


def salto(r):
    return r.choice(SALTOS)


def separador(r):
    """What may stand between two tokens: whitespace, comments, line ends."""
    opciones = [
        "", " ", "  ", "\t", "\n", "\r\n", "\r", " \r\n  ", "\n\n", "\r\n\r\n",
        lambda: "// c" + r.choice(["", " ?", " http://x/y", " ?>"]) + salto(r),
        lambda: "# c" + salto(r),
        lambda: "#" + salto(r),
        lambda: "/* c */",
        lambda: "/* a" + salto(r) + " b */",
        lambda: "/**/",
        lambda: "/** d */",
        lambda: "/**" + salto(r) + " * @link https://x.org/a" + salto(r) + " */",
        lambda: "/**x*/",
    ]
    elegido = r.choice(opciones)
    return elegido() if callable(elegido) else elegido


def nombre(r):
    return r.choice(["a", "b", "Foo", "x_1", "EOT", "from", "class", "enum", "yield", "declare",
                     "__LINE__", "__line__", "__halt_compiler", "namespace", "\u00e9t\u00e9",
                     "readonly", "fn", "match", "B", "b"])


def variable(r):
    return "$" + r.choice(["a", "b", "o", "k", "this", "x_1", "\u00e9"])


def numero(r):
    return r.choice(["0", "1", "42", "1_000", "0x1F", "0X_1", "0b101", "0o17", "0O7", "017",
                     "1.5", ".5", "1.", "1e3", "1.e3", "1E-3", "1_0.5_0", "0x", "1__0", "08"])


def cadena_simple(r):
    return r.choice(["b", "B", ""]) + "'" + r.choice(
        ["", "a", "it\\'s", "\\\\", "// no", "a" + salto(r) + "  b", "$a {$b}", "?>"]) + "'"


def cadena_doble(r):
    partes = ["a", " ", "\\\"", "\\\\", "$a", "{$a}", "${a}", "${a[1]}", "{$a[\"k\"]}",
              "$a[0]", "$a[x]", "$a[-1]", "$a[$b]", "$a->b", "$a?->b", "$a->", "{$o->p}",
              "// x", "#", salto(r), "{$a" + salto(r) + "}", "{$a /* c */}", "$a[ k]",
              "$a[\"]", "{$a[__LINE__]}", "{$a ?> h <?php }", "$", "{", "{ $a}", "\\{$a}"]
    return r.choice(["", "b"]) + "\"" + "".join(r.choice(partes) for _ in range(r.randint(0, 4))) + "\""


def acentos(r):
    partes = ["ls", " ", "$a", "{$a}", "\\`", salto(r), "// x"]
    return "`" + "".join(r.choice(partes) for _ in range(r.randint(0, 3))) + "`"


def heredoc(r):
    etiqueta = r.choice(["EOT", "X", "a_b"])
    sangria = r.choice(["", "  ", "\t"])
    forma = r.choice(["", "'", "\""])
    s = salto(r)
    cuerpo = []
    for _ in range(r.randint(0, 3)):
        cuerpo.append(sangria + r.choice([
            "text // not a comment", "$a and {$a}", "${a}", "{$a[" + s + etiqueta + s + "]}",
            "\\" , etiqueta + "X", "  " + etiqueta + "_", "http://x", "{$a}" + etiqueta,
            "$a[0] $a->b", "", "\\$a", "{$a" + s + "}"]))
    cierre = sangria + etiqueta + r.choice([";", ",", "", ")", " ;"])
    return (r.choice(["", "b"]) + "<<<" + r.choice(["", " "]) + forma + etiqueta + forma + s +
            "".join(c + s for c in cuerpo) + cierre)


def fragmento(r):
    """One piece of PHP code, most of them a single token."""
    eleccion = r.randint(0, 40)
    if eleccion < 6:
        return nombre(r)
    if eleccion < 10:
        return variable(r)
    if eleccion < 12:
        return numero(r)
    if eleccion < 15:
        return r.choice(["+", "-", ".", "*", "/", "%", "=", "<", ">", "!", "?", ":", "&", "|",
                         "^", "~", "@", ",", ";", "(", ")", "[", "]", "{", "}", "\\", "$",
                         "++", "--", "->", "?->", "=>", "::", "...", "**", "<<", ">>", "<=",
                         "<=>", "??", "??=", "!==", "===", "&&", "||", ".=", "<>", "#["])
    if eleccion < 17:
        return cadena_simple(r)
    if eleccion < 20:
        return cadena_doble(r)
    if eleccion < 21:
        return acentos(r)
    if eleccion < 23:
        return heredoc(r)
    if eleccion < 24:
        return r.choice(["(int)", "( int )", "(\tfloat )", "(string)", "(bool)", "(array)",
                         "(object)", "(unset)", "(real)", "(binary)", "(integer)", "( INT )",
                         "(int" + salto(r) + ")"])
    if eleccion < 25:
        return r.choice(["?>", "?>" + salto(r), "?>x<?php ", "?>\n<p>\n<?php ", "?><?= ",
                         "?>" + salto(r) + "<?php" + salto(r)])
    if eleccion < 26:
        return r.choice(["__halt_compiler();", "__halt_compiler ( ) ; raw // d" + salto(r),
                         "__HALT_COMPILER() ?>data"])
    if eleccion < 28:
        return r.choice(["yield from", "yield" + salto(r) + "from", "enum Foo", "enum" + salto(r) + "X",
                         "& $a", "&" + salto(r) + "$a", "& ...", "#[A]", "#[A(1)]" + salto(r),
                         "namespace\\A", "\\A\\B", "A\\B", "A\\ B", "A \\B", "echo __LINE__;",
                         "$o->class", "$o?->__LINE__", "A::__LINE__", "declare(strict_types=1);"])
    if eleccion < 30:
        return r.choice(["->", "?->"]) + r.choice(["", " ", salto(r)]) + r.choice(
            ["#[c]" + salto(r), "# c" + salto(r), "// c" + salto(r), "/* c */", "/** d */", ""]) + \
            r.choice(["a", "class", "__LINE__", "__halt_compiler", "$k", "{$k}", "1"])
    return r.choice(["if", "else", "function", "return", "new", "echo", "class", "public", "static",
                     "fn", "match", "use", "as", "instanceof", "print", "list", "array", "isset"])


def fuente(r):
    """A random PHP source, and the fragments it was made of."""
    partes = []
    if r.random() < 0.15:
        partes.append("#!/usr/bin/env php" + salto(r))
    if r.random() < 0.15:
        partes.append(r.choice(["<p>", "\n", "<html>" + salto(r), "\xef\xbb\xbf", "<? x ?>"]))
    partes.append(r.choice(["<?php ", "<?php" + salto(r), "<?PHP\t", "<?= ", "<?php\r\n\r\n"]))
    if r.random() < 0.001:
        # Now and then, enough tokens that the rules stop keeping them a few tokens into
        # what follows: the check then reads the rest another way.
        partes.append("$a;" * (PIEZAS_GUARDADAS // 2 - r.randint(0, 40)))
    for _ in range(r.randint(1, 25)):
        partes.append(fragmento(r))
        partes.append(separador(r))
    if r.random() < 0.2:
        partes.append(r.choice(["?>", "?>\n", "?>\r\n\r\n", " ?> \n", "// end ?>"]))
    return partes


def edita(r, texto):
    """A random edit of the kind a compactor might make, or a wrong one."""
    if not texto:
        return texto
    forma = r.randint(0, 6)
    i = r.randrange(len(texto))
    if forma == 0:  # a line joined
        j = texto.find("\r\n", i)
        if j < 0:
            j = texto.find("\n", i)
            return texto if j < 0 else texto[:j] + " " + texto[j + 1:].lstrip(" \t")
        return texto[:j] + " " + texto[j + 2:].lstrip(" \t")
    if forma == 1:  # a run of whitespace dropped
        j = i
        while j < len(texto) and texto[j] in " \t\r\n":
            j += 1
        return texto[:i] + texto[j:]
    if forma == 2:  # a comment dropped to its line end
        for marca in ("//", "#", "/*"):
            j = texto.find(marca, i)
            if j >= 0:
                fin = texto.find("*/", j) + 2 if marca == "/*" else min(
                    [k for k in (texto.find("\n", j), texto.find("\r", j), len(texto)) if k >= 0])
                return texto[:j] + texto[max(fin, j):]
        return texto
    if forma == 3:  # a byte taken out
        return texto[:i] + texto[i + 1:]
    if forma == 4:  # a space put in
        return texto[:i] + " " + texto[i:]
    if forma == 5:  # CR LF made LF
        return texto.replace("\r\n", "\n", 1)
    return texto.replace("\r", "", 1)  # a CR dropped, as kexo does


def ejecuta_lote(sonda, carpeta, casos):
    """The check's and PHP's verdicts for each case: {name: {variant: (check, php)}}."""
    for nombre_caso, (texto, mutado) in casos.items():
        with open(os.path.join(carpeta, nombre_caso + ".php"), "wb") as f:
            f.write(texto.encode("latin-1"))
        with open(os.path.join(carpeta, nombre_caso + ".mut"), "wb") as f:
            f.write(mutado.encode("latin-1"))
    salida = subprocess.run([sonda, "lote", carpeta], capture_output=True, check=True).stdout
    del_sondeo = {}
    for linea in salida.decode().splitlines():
        d = json.loads(linea)
        del_sondeo[d["caso"]] = d
    pares = []
    for nombre_caso in casos:
        base = os.path.join(carpeta, nombre_caso)
        pares.append(f"{base}.php\t{base}.kexo\tprograma")
        pares.append(f"{base}.php\t{base}.reglas\tlineas")
        pares.append(f"{base}.php\t{base}.mut\tprograma")
        pares.append(f"{base}.php\t{base}.mut\tlineas")
    with open(os.path.join(carpeta, "ficheros.txt"), "w") as f:
        for nombre_caso in casos:
            f.write(os.path.join(carpeta, nombre_caso + ".php") + "\n")
            f.write(os.path.join(carpeta, nombre_caso + ".mut") + "\n")
    subprocess.run(["php", "-d", "memory_limit=1G", JUEZ, "--piezas",
                    os.path.join(carpeta, "ficheros.txt")], capture_output=True, check=True)
    lista = os.path.join(carpeta, "pares.txt")
    with open(lista, "w") as f:
        f.write("\n".join(pares) + "\n")
    juicio = subprocess.run(["php", "-d", "short_open_tag=0", "-d", "memory_limit=1G", JUEZ,
                             "--pares", lista], capture_output=True)
    if juicio.returncode != 0:
        raise RuntimeError("php: " + juicio.stdout.decode(errors="replace")[-2000:] +
                           juicio.stderr.decode(errors="replace")[-2000:])
    php = juicio.stdout.decode().splitlines()
    def mismas_piezas(base, fichero):
        # The line PHP's tokenizer gives __halt_compiler's data is left aside: it means nothing.
        def sin_linea_de_datos(texto):
            return [linea.split("\t")[:2] + linea.split("\t")[3:] if linea.startswith("datos\t")
                    else linea for linea in texto.splitlines()]
        with open(base + fichero + ".piezas" if fichero == ".mut" else base + ".piezas") as a, \
             open(base + fichero + ".php-piezas") as b:
            return sin_linea_de_datos(a.read()) == sin_linea_de_datos(b.read())

    veredictos = {}
    for k, nombre_caso in enumerate(casos):
        d = del_sondeo[nombre_caso]
        v = php[4 * k:4 * k + 4]
        base = os.path.join(carpeta, nombre_caso)
        veredictos[nombre_caso] = {
            "piezas": mismas_piezas(base, ".php") and mismas_piezas(base, ".mut"),
            "kexo": (d["kexo"][0], v[0] == "iguales"),
            "reglas": (d["reglas"][0], v[1] == "iguales"),
            "mut": (d["mut"][0], v[2] == "iguales"),
            "mut_lineas": (d["mut_lineas"][0], v[3] == "iguales"),
            "doble": d["doble"],
        }
    return veredictos


def fallos(v):
    """What is wrong with one case's verdicts: [(variant, unsafe?)]."""
    malos = []
    for variante in ("kexo", "reglas", "mut", "mut_lineas"):
        nuestro, de_php = v[variante]
        if nuestro != de_php:
            malos.append((variante, nuestro))
    if not v["reglas"][0] or not v["reglas"][1]:
        malos.append(("reglas cambian el programa", True))
    if not v["doble"]:
        malos.append(("reglas dos veces", True))
    if not v["piezas"]:
        malos.append(("piezas distintas de las de PHP", True))
    return malos


def reduce(sonda, carpeta, partes, variante):
    """Fewer fragments that keep a disagreement of `variante` on kexo or PHP's rules."""
    def sigue(candidata):
        v = ejecuta_lote(sonda, carpeta, {"r": ("".join(candidata), "")})["r"]
        return any(m[0] == variante for m in fallos(v))
    for _ in range(3):
        cambio = False
        k = 0
        while k < len(partes):
            prueba = partes[:k] + partes[k + 1:]
            if prueba and sigue(prueba):
                partes = prueba
                cambio = True
            else:
                k += 1
        if not cambio:
            break
    return partes


def principal():
    opciones = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    opciones.add_argument("--sonda", required=True)
    opciones.add_argument("--segundos", type=float, default=600)
    opciones.add_argument("--salida", default=None)
    opciones.add_argument("--semilla", type=int, default=None)
    opciones.add_argument("--lote", type=int, default=400)
    args = opciones.parse_args()
    if shutil.which("php") is None:
        print("skipped: no php")
        return 77
    semilla = args.semilla if args.semilla is not None else int(time.time())
    r = random.Random(semilla)
    salida = args.salida or tempfile.mkdtemp(prefix="fuzz_php_")
    os.makedirs(salida, exist_ok=True)
    print(f"semilla {semilla}, desacuerdos en {salida}", flush=True)
    fin = time.time() + args.segundos
    total = inseguros = alarmas = 0
    vistos = set()
    with tempfile.TemporaryDirectory() as carpeta:
        while time.time() < fin:
            casos = {}
            partes_de = {}
            for k in range(args.lote):
                partes = fuente(r)
                texto = "".join(partes)
                casos[f"c{k}"] = (texto, edita(r, texto))
                partes_de[f"c{k}"] = partes
            for nombre_caso, v in ejecuta_lote(sonda=args.sonda, carpeta=carpeta,
                                                casos=casos).items():
                total += 1
                for variante, inseguro in fallos(v):
                    texto, mutado = casos[nombre_caso]
                    if variante.startswith("mut") or variante.startswith("piezas"):
                        reducido = texto
                    else:
                        with tempfile.TemporaryDirectory() as otra:
                            reducido = "".join(reduce(args.sonda, otra, partes_de[nombre_caso],
                                                      variante))
                    clave = (variante, reducido if not variante.startswith("mut") else mutado)
                    if clave in vistos:
                        continue
                    vistos.add(clave)
                    inseguros += 1 if inseguro else 0
                    alarmas += 0 if inseguro else 1
                    n = len(vistos)
                    with open(os.path.join(salida, f"desacuerdo{n}.php"), "wb") as f:
                        f.write(reducido.encode("latin-1"))
                    if variante.startswith("mut") or variante.startswith("piezas"):
                        with open(os.path.join(salida, f"desacuerdo{n}.mut"), "wb") as f:
                            f.write(mutado.encode("latin-1"))
                    tipo = "INSEGURO" if inseguro else "falsa alarma"
                    print(f"{tipo} ({variante}): desacuerdo{n} {json.dumps(reducido)[:160]}",
                          flush=True)
    print(f"{total} fuentes, {inseguros} desacuerdos inseguros, {alarmas} falsas alarmas")
    return 1 if inseguros else 0


if __name__ == "__main__":
    sys.exit(principal())
