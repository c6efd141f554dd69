<?php
// Saludo de ejemplo: los comentarios // fuera de literales desaparecen.
$nombre = 'mundo';   // quien saluda
$url = "https://example.com/inicio"; // la // del literal se queda
function saluda($a)
{
    // una linea entera de comentario
    return "Hola, " . $a . '!';
}

echo saluda($nombre);
?>
