#!/bin/sh
# PHP's own lexer as the judge, over PHP sources with LF and with CR LF line
# ends: kexo-arbol's tree (kexo's rules where the check finds the program
# the same), and PHP's rules (sonda_lexica, beside kexo-arbol) with every
# token on its line. bench/juez_php.php compares every file's tokens, doc
# comments and __LINE__'s line included. Skipped (77) without php.
set -eu
kexo_arbol=$1
raiz=$2
sonda=$(dirname "$kexo_arbol")/sonda_lexica
command -v php >/dev/null 2>&1 || { echo "skipped: no php (apt-get install php-cli)"; exit 77; }
trabajo=$(mktemp -d)
trap 'rm -rf "$trabajo"' EXIT
mkdir -p "$trabajo/lf/lexico" "$trabajo/lf/compacta" "$trabajo/crlf"
cp "$raiz"/fuzz/corpus/lexico/*.php "$trabajo/lf/lexico/"
cp "$raiz"/fuzz/corpus/compacta/*.php "$raiz"/examples/*.php "$trabajo/lf/compacta/"
cp -r "$trabajo/lf/." "$trabajo/crlf/"
for f in "$trabajo"/crlf/*/*.php; do
    sed -i 's/\r$//; s/$/\r/' "$f"
done
for arbol in lf crlf; do
    "$kexo_arbol" "$trabajo/$arbol" "$trabajo/$arbol-compactado" > "$trabajo/$arbol.informe"
    tail -n 1 "$trabajo/$arbol.informe"
    php "$raiz/bench/juez_php.php" "$trabajo/$arbol" "$trabajo/$arbol-compactado"
    "$sonda" compacta "$trabajo/$arbol" "$trabajo/$arbol-reglas"
    echo "reglas de PHP:"
    php "$raiz/bench/juez_php.php" --lineas "$trabajo/$arbol" "$trabajo/$arbol-reglas"
done
