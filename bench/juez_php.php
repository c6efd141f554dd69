<?php
// PHP's own judgement of a compacted tree: for every PHP file of the source
// tree, compares the tokens of the source and of the destination with
// token_get_all (whitespace and comments left out, and whitespace-only inline
// HTML at the very end), and parses the destination.
//
//   php bench/juez_php.php ORIGEN DESTINO [EXTENSION...]
//
// Prints the files whose program changed or that no longer parse, then a
// count; exits 1 when there is any.

function piezas(string $codigo, ?bool &$valido): array {
    $valido = true;
    try {
        token_get_all($codigo, TOKEN_PARSE);
    } catch (ParseError $e) {
        $valido = false;
    }
    $piezas = [];
    foreach (token_get_all($codigo) as $t) {
        if (is_string($t)) {
            $piezas[] = $t;
            continue;
        }
        [$id, $texto] = $t;
        if ($id === T_WHITESPACE || $id === T_COMMENT || $id === T_DOC_COMMENT) {
            continue;
        }
        if ($id === T_OPEN_TAG || $id === T_CLOSE_TAG || $id === T_OPEN_TAG_WITH_ECHO) {
            $texto = rtrim($texto);
        }
        $piezas[] = token_name($id) . ':' . $texto;
    }
    while ($piezas && str_starts_with(end($piezas), 'T_INLINE_HTML:')
           && trim(substr(end($piezas), 14), " \t\r\n\v\f\0") === '') {
        array_pop($piezas);
    }
    return $piezas;
}

[$yo, $origen, $destino] = array_slice($argv, 0, 3) + [null, null, null];
if ($origen === null || $destino === null) {
    fwrite(STDERR, "uso: php juez_php.php ORIGEN DESTINO [EXTENSION...]\n");
    exit(2);
}
$extensiones = array_slice($argv, 3) ?: ['php'];
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
    $antes = piezas(file_get_contents($f->getPathname()), $valido_antes);
    $despues = piezas(file_get_contents($copia), $valido_despues);
    if ($valido_antes && !$valido_despues) {
        ++$invalidos;
        echo "no analiza: $relativa\n";
    } elseif ($antes !== $despues) {
        ++$cambiados;
        echo "programa cambiado: $relativa\n";
    }
}
echo "$ficheros ficheros PHP: $cambiados con el programa cambiado, $invalidos que no analizan\n";
exit($cambiados + $invalidos > 0 ? 1 : 0);
