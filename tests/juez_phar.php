<?php
// What PHP's phar extension reads in the archive $argv[1]: its signature's
// kind and how many entries it holds, then a line for each path given after
// it: folder or file, permission bits, time; for a file, whether it is
// gz-compressed, its bytes' SHA-256, and whether the CRC-32 stored is theirs.
$archivo = $argv[1];
$phar = new Phar($archivo);
echo $phar->getSignature()['hash_type'], ' ', count($phar), "\n";
foreach (array_slice($argv, 2) as $ruta) {
    $url = 'phar://' . $archivo . '/' . $ruta;
    $estado = @stat($url);
    if ($estado === false) {
        echo "$ruta falta\n";
    } elseif (is_dir($url)) {
        printf("%s carpeta %o %d\n", $ruta, $estado['mode'] & 0777, $estado['mtime']);
    } else {
        $info = $phar[$ruta];
        $bytes = file_get_contents($url);
        printf("%s fichero %o %d %s %s %s\n", $ruta, $info->getPerms() & 0777, $info->getMTime(),
               $info->isCompressed(Phar::GZ) ? 'gz' : '-', hash('sha256', $bytes),
               $info->getCRC32() === crc32($bytes) ? 'crc' : 'crc-mal');
    }
}
