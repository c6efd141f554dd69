<?php
// PHP's own judgement of a compaction. For every PHP file of the source
// tree, compares the tokens of the source and of the destination with
// token_get_all: whitespace and comments left out, doc comments kept byte for
// byte, __LINE__ on its line; at the very end, whitespace-only inline HTML
// and a close tag after `;` or the open tag may be missing. It also parses
// the destination. With --lineas, every token must stand on its line too
// (PHP's rules for a compaction that keeps every line).
//
//   php bench/juez_php.php [--lineas] ORIGEN DESTINO [EXTENSION...]
//   php bench/juez_php.php --pares LISTA
//   php bench/juez_php.php --piezas LISTA
//
// The first form prints the files whose program changed or that no longer
// parse, then a count; exits 1 when there is any. The second reads LISTA,
// one pair a line, `ORIGINAL<TAB>OTRO<TAB>programa|lineas`, and prints one
// verdict a line: `iguales`, or `distintos LINEA` (the line of the original
// where they part). The third writes, for each file named in LISTA (one a
// line), FILE.php-piezas: its tokens one a line, as the lexical layer names
// them (clase, matiz, line, bytes in hexadecimal), for tests/fuzz_php.py to compare
// with tests/sonda_lexica's.

// The tokens that make the program, each as `NAME:text`, and `@line` where
// the line matters; sets $valido to whether the code parses, when asked to
// (a parse may end PHP with a fatal error: __halt_compiler in a function).
function piezas(string $codigo, bool $lineas, ?bool &$valido, bool $analiza = true): array {
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
    foreach (token_get_all($codigo) as $t) {
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

function compara(string $original, string $otro, bool $lineas, ?bool &$analiza,
                  bool $analizar = true): ?int {
    $antes = piezas($original, $lineas, $valido_antes, $analizar);
    $despues = piezas($otro, $lineas, $valido_despues, $analizar);
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
$lineas = ($args[0] ?? '') === '--lineas';
if ($lineas) {
    array_shift($args);
}
[$origen, $destino] = $args + [null, null];
if ($origen === null || $destino === null) {
    fwrite(STDERR, "uso: php juez_php.php [--lineas] ORIGEN DESTINO [EXTENSION...] | --pares LISTA\n");
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
    $linea = compara(file_get_contents($f->getPathname()), file_get_contents($copia), $lineas, $analiza);
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
