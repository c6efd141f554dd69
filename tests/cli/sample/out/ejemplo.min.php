<?php
// (c) Ejemplo S.L. - generado por kexo
?>
<?php  $nombre = 'mundo';    $url = "https://example.com/inicio";  function saluda($a) {  return "Hola, " . $a . '!'; }  echo saluda($nombre); 
?>
