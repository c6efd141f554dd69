# Sourced by the judges that run Debian's PHP programs from what kexo-arbol
# writes. Makes $trabajo (removed on exit) holding lf/ and crlf/: the programs
# $programas names under bin/, Debian's PHP library tree under share/php,
# crlf/'s PHP files in CR LF; a notice in $trabajo/ini/kexo.ini; and
# $trabajo/proyecto, a Composer project (one good composer.json, one bad
# malo.json), made the current folder.
trabajo=$(mktemp -d)
trap 'rm -rf "$trabajo"' EXIT
mkdir -p "$trabajo/lf/bin" "$trabajo/lf/share" "$trabajo/ini" "$trabajo/proyecto"
# shellcheck disable=SC2086
cp $programas "$trabajo/lf/bin/"
cp -r /usr/share/php "$trabajo/lf/share/"
cp -r "$trabajo/lf" "$trabajo/crlf"
find "$trabajo/crlf" -name '*.php' -exec sed -i 's/\r$//; s/$/\r/' {} +
printf '%s\n' '(c) 2026 Ejemplo S.L.' > "$trabajo/ini/kexo.ini"
cd "$trabajo/proyecto"
printf '%s\n' '{"name":"a/b","description":"x","license":"MIT","require":{}}' > composer.json
printf '%s\n' '{"name": "a/b", bad' > malo.json
export COMPOSER_HOME="$trabajo/home" COMPOSER_NO_INTERACTION=1 COMPOSER_ALLOW_SUPERUSER=1
