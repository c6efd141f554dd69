<?php
// PHP's own judgement of a compaction. For every PHP file of the source
// tree, compares the tokens of the source and of the destination with
// token_get_all: whitespace and comments left out, doc comments kept byte for
// byte, __LINE__ on its line; at the very end, whitespace-only inline HTML
// and a close tag after `;` or the open tag may be missing. It also parses
// the destination. With --lineas, every token must stand on its line too
// (PHP's rules for a compaction that keeps every line).
//
//   php bench/juez_php.php [--lineas] [--aviso=TEXTO] ORIGEN DESTINO [EXTENSION...]
//   php bench/juez_php.php --pares LISTA
//   php bench/juez_php.php --piezas LISTA
//
// The first form prints the files whose program changed or that no longer
// parse, then a count; exits 1 when there is any. The second reads LISTA,
// one pair a line, `ORIGINAL<TAB>OTRO<TAB>programa|lineas`, and prints one
// verdict a line: `iguales`, or `distintos LINEA` (the line of the original
// where they part). With --aviso, the destination's files may carry that
// notice where kexo-arbol puts it: kexo's header block in front, or after a
// `#!` line (taken out before comparing; its two-line form, before a
// declare, is a comment), or PHP's rules' own block (an open tag, the
// notice as a block comment, a close tag) in front of a file's first line
// (taken out) or the block comment alone after its open tag. The third writes, for each file named in LISTA (one a
// line), FILE.php-piezas: its tokens one a line, as the lexical layer names
// them (clase, matiz, line, bytes in hexadecimal), for tests/fuzz_php.py to compare
// with tests/sonda_lexica's.

// The tokens that make the program, each as `NAME:text`, and `@line` where
// the line matters; sets $valido to whether the code parses, when asked to
// (a parse may end PHP with a fatal error: __halt_compiler in a function).
function piezas(string $codigo, bool $lineas, ?bool &$valido, bool $analiza = true,
                 int $desde = PHP_INT_MAX, int $desfase = 0): array {
    $valido = true;
    try {
        if ($analiza) {
            token_get_all($codigo, TOKEN_PARSE);
        }
    } catch (ParseError $e) {
        $valido = false;
    }
    $piezas = [];
    $linea = 1;
    $tras_halt = -1;  // tokens still to come before __halt_compiler's data
    $posicion = 0;
    foreach (token_get_all($codigo) as $t) {
        $en = $posicion;
        $posicion += strlen(is_string($t) ? $t : $t[1]);
        if (!is_string($t)) {
            $t[2] += $en >= $desde ? $desfase : 0;
        }
        if ($tras_halt > 0 && (is_string($t) || !in_array($t[0], [T_WHITESPACE, T_COMMENT, T_DOC_COMMENT, T_OPEN_TAG], true))) {
            --$tras_halt;
        } elseif (!is_string($t) && $t[0] === T_HALT_COMPILER && $tras_halt < 0) {
            $tras_halt = 3;
        } elseif ($tras_halt === 0 && !is_string($t) && $t[0] === T_INLINE_HTML) {
            // Raw data, which the program may read: byte for byte, blank or not.
            $piezas[] = ['texto' => 'T_HALT_DATA:' . $t[1], 'linea' => $t[2]];
            continue;
        }
        if (is_string($t)) {
            $piezas[] = ['texto' => $t, 'linea' => $linea];
            $linea += preg_match_all('/\n|\r(?!\n)/', $t);
            continue;
        }
        [$id, $texto, $linea] = $t;
        $linea_siguiente = $linea + preg_match_all('/\n|\r(?!\n)/', $texto);
        if ($id === T_WHITESPACE || $id === T_COMMENT) {
            $linea = $linea_siguiente;
            continue;
        }
        if ($id === T_OPEN_TAG || $id === T_CLOSE_TAG || $id === T_OPEN_TAG_WITH_ECHO) {
            $texto = rtrim($texto);
        }
        $piezas[] = ['texto' => token_name($id) . ':' . $texto, 'linea' => $linea];
        $linea = $linea_siguiente;
    }
    $en_blanco = fn ($p) => str_starts_with($p['texto'], 'T_INLINE_HTML:')
        && trim(substr($p['texto'], 14), " \t\r\n\v\f\0") === '';
    while ($piezas && $en_blanco(end($piezas))) {
        array_pop($piezas);
    }
    // A close tag reads as `;`: after `;` or the open tag it is an empty statement.
    $n = count($piezas);
    if ($n >= 2 && $piezas[$n - 1]['texto'] === 'T_CLOSE_TAG:?>'
        && ($piezas[$n - 2]['texto'] === ';' || strcasecmp($piezas[$n - 2]['texto'], 'T_OPEN_TAG:<?php') === 0)) {
        array_pop($piezas);
    }
    // __halt_compiler's data has no line that matters (PHP's tokenizer gives it a stale one).
    return array_map(fn ($p) => ($lineas && !str_starts_with($p['texto'], 'T_HALT_DATA:'))
        || str_starts_with($p['texto'], 'T_LINE:') ? $p['texto'] . '@' . $p['linea'] : $p['texto'], $piezas);
}

// `$codigo` without the block that holds `$aviso`, where a notice may stand:
// first, or after a `#!` line: kexo's header, or its two lines that take the
// place of the open tag before a declare; PHP's rules' block before the first
// line that is not blank, when `$original` does not open PHP there (else its
// notice is a comment after the open tag). Gives the text, where the block
// was, and the lines it held, which the pieces below it keep.
function sin_aviso(string $codigo, string $original, string $aviso): array {
    $inicio = 0;
    if (str_starts_with($codigo, '#!') && ($salto = strpos($codigo, "\n")) !== false) {
        $inicio = $salto + 1;
    }
    $en_blanco = $inicio + strspn($codigo, "\r\n", $inicio);
    $abre_php = preg_match('/<\?php[ \t\r\n]/Ai', $original, $m, 0, $en_blanco) === 1;
    $bloques = [[$inicio, "<?php\n// $aviso\n?>\n", ''], [$inicio, "<?php\n// $aviso\n", '<?php']];
    if (!$abre_php) {
        $bloques[] = [$en_blanco, "<?php /* $aviso */ ?>", ''];
    }
    foreach ($bloques as [$p, $bloque, $queda]) {
        if (substr_compare($codigo, $bloque, $p, strlen($bloque)) === 0) {
            return [substr($codigo, 0, $p) . $queda . substr($codigo, $p + strlen($bloque)),
                    $p, substr_count($bloque, "\n")];
        }
    }
    return [$codigo, 0, 0];
}

// `$otro`'s pieces from byte `$desde` on stand `$desfase` lines further down
// than their place in `$otro` says (a notice's block was taken out there).
function compara(string $original, string $otro, bool $lineas, ?bool &$analiza,
                  bool $analizar = true, int $desde = PHP_INT_MAX, int $desfase = 0): ?int {
    $antes = piezas($original, $lineas, $valido_antes, $analizar);
    $despues = piezas($otro, $lineas, $valido_despues, $analizar, $desde, $desfase);
    $analiza = !$valido_antes || $valido_despues;
    if ($antes === $despues) {
        return null;
    }
    // The line of the first piece of the original that differs.
    $con_lineas = piezas($original, true, $v, false);
    $i = 0;
    while (isset($antes[$i], $despues[$i]) && $antes[$i] === $despues[$i]) {
        ++$i;
    }
    for (; $i >= 0; --$i) {
        if (isset($con_lineas[$i]) && strrpos($con_lineas[$i], '@') !== false) {
            return (int) substr($con_lineas[$i], strrpos($con_lineas[$i], '@') + 1);
        }
    }
    return substr_count($original, "\n") + preg_match_all('/\r(?!\n)/', $original) + 1;
}

// The tokens of a source as the lexical layer names them.
function piezas_nombradas(string $codigo): string {
    $salida = '';
    $linea = 1;
    $tras_halt = -1;
    foreach (token_get_all($codigo) as $t) {
        $texto = is_string($t) ? $t : $t[1];
        $linea = is_string($t) ? $linea : $t[2];
        $id = is_string($t) ? null : $t[0];
        $clase = match (true) {
            $id === null => in_array(strtolower($t), ['"', '`', 'b"'], true) ? 'cadena' : 'codigo',
            $id === T_WHITESPACE => 'blanco',
            $id === T_COMMENT => 'comentario',
            $id === T_DOC_COMMENT => 'documentacion',
            $id === T_INLINE_HTML => $tras_halt === 0 ? 'datos' : 'html',
            $id === T_OPEN_TAG, $id === T_OPEN_TAG_WITH_ECHO => 'apertura',
            $id === T_CLOSE_TAG => 'cierre',
            in_array($id, [T_CONSTANT_ENCAPSED_STRING, T_ENCAPSED_AND_WHITESPACE,
                           T_START_HEREDOC, T_END_HEREDOC], true) => 'cadena',
            default => 'codigo',
        };
        $matiz = match ($id) {
            T_AMPERSAND_FOLLOWED_BY_VAR_OR_VARARG => 1,
            T_ENUM => 2,
            T_LINE => 3,
            T_END_HEREDOC => 4,
            T_STRING_VARNAME => 5,
            default => 0,
        };
        $salida .= "$clase\t$matiz\t$linea\t" . bin2hex($texto) . "\n";
        if ($tras_halt > 0 && !in_array($clase, ['blanco', 'comentario', 'documentacion'], true)
            && $id !== T_OPEN_TAG) {
            --$tras_halt;
        } elseif ($id === T_HALT_COMPILER && $tras_halt < 0) {
            $tras_halt = 3;
        }
        $linea += preg_match_all('/\n|\r(?!\n)/', $texto);
    }
    return $salida;
}

$args = array_slice($argv, 1);
if (($args[0] ?? '') === '--piezas' && isset($args[1])) {
    foreach (file($args[1], FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES) as $fichero) {
        file_put_contents($fichero . '.php-piezas', piezas_nombradas(file_get_contents($fichero)));
    }
    exit(0);
}
if (($args[0] ?? '') === '--pares' && isset($args[1])) {
    foreach (file($args[1], FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES) as $par) {
        [$original, $otro, $modo] = explode("\t", $par) + [null, null, 'programa'];
        $linea = compara(file_get_contents($original), file_get_contents($otro),
                         $modo === 'lineas', $analiza, false);
        echo $linea === null ? "iguales\n" : "distintos $linea\n";
    }
    exit(0);
}
$lineas = false;
$aviso = null;
while (isset($args[0]) && str_starts_with($args[0], '--')) {
    $opcion = array_shift($args);
    if ($opcion === '--lineas') {
        $lineas = true;
    } elseif (str_starts_with($opcion, '--aviso=')) {
        $aviso = substr($opcion, 8);
    } else {
        fwrite(STDERR, "opcion desconocida: $opcion\n");
        exit(2);
    }
}
[$origen, $destino] = $args + [null, null];
if ($origen === null || $destino === null) {
    fwrite(STDERR, "uso: php juez_php.php [--lineas] [--aviso=TEXTO] ORIGEN DESTINO [EXTENSION...] | --pares LISTA\n");
    exit(2);
}
$extensiones = array_slice($args, 2) ?: ['php'];
$ficheros = $cambiados = $invalidos = 0;
$todos = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($origen, FilesystemIterator::SKIP_DOTS));
foreach ($todos as $f) {
    if ($f->isLink() || !$f->isFile()
        || !in_array(strtolower($f->getExtension()), $extensiones, true)) {
        continue;
    }
    $relativa = substr($f->getPathname(), strlen($origen));
    $copia = $destino . $relativa;
    if (!is_file($copia)) {
        continue;
    }
    ++$ficheros;
    $original = file_get_contents($f->getPathname());
    [$escrito, $desde, $desfase] = [file_get_contents($copia), PHP_INT_MAX, 0];
    if ($aviso !== null) {
        [$escrito, $desde, $desfase] = sin_aviso($escrito, $original, $aviso);
    }
    $linea = compara($original, $escrito, $lineas, $analiza, true, $desde, $desfase);
    if (!$analiza) {
        ++$invalidos;
        echo "no analiza: $relativa\n";
    } elseif ($linea !== null) {
        ++$cambiados;
        echo "programa cambiado: $relativa (linea $linea)\n";
    }
}
echo "$ficheros ficheros PHP: $cambiados con el programa cambiado, $invalidos que no analizan\n";
exit($cambiados + $invalidos > 0 ? 1 : 0);
