#!/bin/sh
# PHP's own lexer as the judge, over PHP sources with LF and with CR LF line
# ends, each written by kexo-arbol in both modes, without and with a notice:
# bench/juez_php.php compares every file's tokens, doc comments and
# __LINE__'s line included, and with PHP's rules every token's line. PHP's
# rules alone (sonda_lexica, beside kexo-arbol) are judged too. With a
# notice, `php -l` must accept every written file whose source it accepts,
# and a `#!` script must still start with `#!`. Skipped (77) without php.
# With a third argument `pequeno`, a quick judge for every run: the LF tree
# alone, and `php -l` on a few files.
set -eu
kexo_arbol=$1
raiz=$2
arboles="lf crlf"
php_l='*/*.php'
if [ "${3:-}" = pequeno ]; then
    arboles=lf
    php_l='*/[eg]*.php'
fi
sonda=$(dirname "$kexo_arbol")/sonda_lexica
command -v php >/dev/null 2>&1 || { echo "skipped: no php (apt-get install php-cli)"; exit 77; }
trabajo=$(mktemp -d)
trap 'rm -rf "$trabajo"' EXIT
mkdir -p "$trabajo/lf/lexico" "$trabajo/lf/compacta" "$trabajo/crlf" "$trabajo/ini"
cp "$raiz"/fuzz/corpus/lexico/*.php "$trabajo/lf/lexico/"
cp "$raiz"/fuzz/corpus/compacta/*.php "$raiz"/examples/*.php "$trabajo/lf/compacta/"
cp -r "$trabajo/lf/." "$trabajo/crlf/"
for f in "$trabajo"/crlf/*/*.php; do
    sed -i 's/\r$//; s/$/\r/' "$f"
done
aviso='(c) 2026 Ejemplo S.L. https://example.com/x?y'
printf '%s\n' "$aviso" > "$trabajo/ini/kexo.ini"

# Every written file of $2 that PHP accepts in the source $1 it accepts too.
acepta_php() {
    for f in "$1"/$php_l; do
        escrito=$2${f#"$1"}
        if php -l "$f" >/dev/null 2>&1 && ! php -l "$escrito" >/dev/null 2>&1; then
            echo "php -l no acepta $escrito"
            return 1
        fi
        if head -c 2 "$f" | grep -q '^#!' && ! head -c 2 "$escrito" | grep -q '^#!'; then
            echo "ya no empieza por #!: $escrito"
            return 1
        fi
    done
}

for arbol in $arboles; do
    for modo in kexo php; do
        lineas=
        [ "$modo" = php ] && lineas=--lineas
        salida=$trabajo/$arbol-$modo
        env -u PHPRC "$kexo_arbol" --modo=$modo "$trabajo/$arbol" "$salida" > "$salida.informe"
        tail -n 1 "$salida.informe"
        php "$raiz/bench/juez_php.php" $lineas "$trabajo/$arbol" "$salida"
        echo "con aviso:"
        PHPRC=$trabajo/ini "$kexo_arbol" --modo=$modo "$trabajo/$arbol" "$salida-aviso" > "$salida-aviso.informe"
        php "$raiz/bench/juez_php.php" $lineas "--aviso=$aviso" "$trabajo/$arbol" "$salida-aviso"
        acepta_php "$trabajo/$arbol" "$salida-aviso"
    done
    "$sonda" compacta "$trabajo/$arbol" "$trabajo/$arbol-reglas"
    echo "reglas de PHP:"
    php "$raiz/bench/juez_php.php" --lineas "$trabajo/$arbol" "$trabajo/$arbol-reglas"
done
