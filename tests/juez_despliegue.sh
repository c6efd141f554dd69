#!/bin/sh
# Real programs run from a folder deployed as the README's recipe deploys
# one (the default mode, a notice, its -x patterns): Composer and
# PHP_CodeSniffer as Debian installs them, their PHP files in LF and in CR LF.
# Each must answer as it does from the source, its stack traces must name the
# same lines, and Reflection must give every method of their classes the same
# lines and the same doc comment. Skipped (77) without php, composer or phpcs.
set -eu
kexo_arbol=$1
command -v php >/dev/null 2>&1 || { echo "skipped: no php (apt-get install php-cli)"; exit 77; }
[ -f /usr/bin/composer ] && [ -d /usr/share/php/Composer ] ||
    { echo "skipped: no composer (apt-get install composer)"; exit 77; }
[ -f /usr/bin/phpcs ] && [ -d /usr/share/php/PHP/CodeSniffer ] ||
    { echo "skipped: no phpcs (apt-get install php-codesniffer)"; exit 77; }
programas="/usr/bin/composer /usr/bin/phpcs"
# shellcheck source=tests/juez_arboles.sh
. "$(dirname "$0")/juez_arboles.sh"
printf '%s\n' '<?php' 'function f( $a ){' 'return $a;}' > estilo.php

# Every class of Composer and of PHP_CodeSniffer, loaded by their own
# autoloaders: each method's first and last line and its doc comment's sum.
cat > "$trabajo/reflexion.php" <<'EOF'
<?php
define('PHP_CODESNIFFER_CBF', false);
define('PHP_CODESNIFFER_VERBOSITY', 0);
$raiz = $argv[1];
require "$raiz/share/php/Composer/autoload.php";
require "$raiz/share/php/PHP/CodeSniffer/autoload.php";
foreach (['Composer\\' => "$raiz/share/php/Composer",
          'PHP_CodeSniffer\\' => "$raiz/share/php/PHP/CodeSniffer/src"] as $espacio => $carpeta) {
    $nombres = [];
    foreach (new RecursiveIteratorIterator(new RecursiveDirectoryIterator($carpeta)) as $f) {
        if (substr($f, -4) === '.php' && strpos((string) $f, '/Tests/') === false) {
            $nombres[] = $espacio . strtr(substr((string) $f, strlen($carpeta) + 1, -4), '/', '\\');
        }
    }
    sort($nombres);
    foreach ($nombres as $n) {
        try {
            if (!class_exists($n) && !interface_exists($n) && !trait_exists($n)) {
                continue;
            }
        } catch (Throwable $e) {
            continue;
        }
        $c = new ReflectionClass($n);
        echo $n, ' ', $c->getStartLine(), ' ', md5((string) $c->getDocComment()), "\n";
        foreach ($c->getMethods() as $m) {
            if ($m->getDeclaringClass()->getName() === $n) {
                echo '  ', $m->getName(), ' ', $m->getStartLine(), '-', $m->getEndLine(), ' ',
                    md5((string) $m->getDocComment()), "\n";
            }
        }
    }
}
try {
    new PHP_CodeSniffer\Config(['--standard=PSR12', '--report=nope', 'x.php']);
} catch (Throwable $e) {
    echo str_replace($raiz, '', $e->getFile() . ':' . $e->getLine() . "\n" . $e->getTraceAsString()), "\n";
}
EOF

# What the programs under $1 answer.
respuestas() {
    for orden in --version validate 'validate malo.json -vvv'; do
        estado=0
        # shellcheck disable=SC2086
        php "$1/bin/composer" $orden > "$trabajo/salida" 2>&1 || estado=$?
        # Less the cache's garbage collection, which Composer runs at random.
        grep -v '^Running cache garbage collection' "$trabajo/salida" | sed "s#$1##g" || true
        echo "== composer $orden: $estado"
    done
    estado=0
    php "$1/bin/phpcs" --standard=PSR12 --report=full estilo.php > "$trabajo/salida" 2>&1 || estado=$?
    grep -v '^Time: ' "$trabajo/salida" || true  # how long it took
    echo "== phpcs: $estado"
    php "$trabajo/reflexion.php" "$1" 2>&1
}

fallos=0
for arbol in lf crlf; do
    respuestas "$trabajo/$arbol" > "$trabajo/esperado"
    rm -rf "$trabajo/despliegue"
    "$kexo_arbol" --aviso="$trabajo/ini/kexo.ini" -x .git/ -x .env -x 'vendor/**/tests/' \
        "$trabajo/$arbol/" "$trabajo/despliegue" > /dev/null
    respuestas "$trabajo/despliegue" > "$trabajo/dado"
    if ! diff "$trabajo/esperado" "$trabajo/dado" > /dev/null; then
        echo "Desplegado ($arbol) responde otra cosa:"
        diff "$trabajo/esperado" "$trabajo/dado" | head -20
        fallos=1
    fi
done
# The judge must have seen traces and classes, not errors alone.
[ "$(grep -c '\.php:[0-9]' "$trabajo/esperado")" -gt 2 ] ||
    { echo "las trazas no nombran lineas"; exit 1; }
[ "$(grep -c '^  ' "$trabajo/esperado")" -gt 1000 ] ||
    { echo "Reflection vio pocos metodos"; exit 1; }
exit $fallos
