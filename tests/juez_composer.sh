#!/bin/sh
# A real program run from the PHAR kexo-arbol writes: Composer as Debian's
# composer package installs it (its program and its PHP library tree, copied
# into one folder as the package lays them out), packed with --principal
# naming the program, in both modes, with and without a notice, its PHP
# files in LF and in CR LF. `php composer.phar` must answer as Composer run
# from that folder does (`list` differs only by the self-update command
# Composer offers when it runs from a PHAR), and a stack trace must name the
# same lines. Skipped (77) without php or composer.
set -eu
kexo_arbol=$1
command -v php >/dev/null 2>&1 || { echo "skipped: no php (apt-get install php-cli)"; exit 77; }
[ -f /usr/bin/composer ] && [ -d /usr/share/php/Composer ] ||
    { echo "skipped: no composer (apt-get install composer)"; exit 77; }
programas=/usr/bin/composer
# shellcheck source=tests/juez_arboles.sh
. "$(dirname "$0")/juez_arboles.sh"

# What Composer at $1 (a PHAR or bin/composer), named $2 in its traces, answers.
respuestas() {
    for orden in --version list validate 'dump-autoload -o' 'show --platform'; do
        estado=0
        # shellcheck disable=SC2086
        php "$1" $orden > "$trabajo/salida" 2>&1 || estado=$?
        # Less the cache's garbage collection, which Composer runs at random.
        grep -v -e '^  self-update ' -e '^Running cache garbage collection' "$trabajo/salida" || true
        echo "== $orden: $estado"
    done
    php "$1" validate malo.json -vvv 2>&1 | grep -o '[A-Za-z]*\.php:[0-9]*' | sed "s#$2##"
}

fallos=0
for arbol in lf crlf; do
    respuestas "$trabajo/$arbol/bin/composer" "$trabajo/$arbol" > "$trabajo/esperado"
    for modo in php kexo; do
        for aviso in "" "--aviso=$trabajo/ini/kexo.ini"; do
            # shellcheck disable=SC2086
            "$kexo_arbol" --modo=$modo $aviso --principal=bin/composer "$trabajo/$arbol" \
                "$trabajo/composer.phar" > /dev/null || [ $? -eq 2 ]
            respuestas "$trabajo/composer.phar" "phar://$trabajo/composer.phar" > "$trabajo/dado"
            if [ "$modo" = kexo ]; then
                # kexo's rules may move lines: the answers must not change.
                grep -v '\.php:' "$trabajo/esperado" > "$trabajo/e"
                grep -v '\.php:' "$trabajo/dado" > "$trabajo/d"
            else
                cp "$trabajo/esperado" "$trabajo/e"
                cp "$trabajo/dado" "$trabajo/d"
            fi
            if ! diff "$trabajo/e" "$trabajo/d" > /dev/null; then
                echo "Composer desde su PHAR ($arbol, --modo=$modo${aviso:+, con aviso}) responde otra cosa:"
                diff "$trabajo/e" "$trabajo/d" | head -20
                fallos=1
            fi
        done
    done
done
[ "$(grep -c '\.php:' "$trabajo/esperado")" -gt 2 ] || { echo "la traza no nombra lineas"; exit 1; }
exit $fallos
