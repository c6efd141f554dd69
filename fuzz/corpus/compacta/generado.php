<?php
// func_0: computes the value for the current request
function func_0($entrada, $opciones = array())
{
    $url = 'https://example.com/api//v0/items'; // endpoint
    $texto = "He said \"hello\" // not a comment";
    $cita = 'it\'s // fine';

    // loop over the options
    foreach ($opciones as $clave => $valor) {
        if ($valor > 582) {   // threshold
            $entrada[$clave] = $valor * 3;
        }
    }
    return $entrada;
}

?>
<div class="item-0">
  <a href="http://example.com/0">Item 0</a>
</div>
<?php
// func_1: computes the value for the current request
function func_1($entrada, $opciones = array())
{
        $url = 'https://example.com/api//v1/items'; // endpoint
        $texto = "He said \"hello\" // not a comment";
        $cita = 'it\'s // fine';

        // loop over the options
        foreach ($opciones as $clave => $valor) {
            if ($valor > 120) {   // threshold
                $entrada[$clave] = $valor * 9;
            }
        }
        return $entrada;
}

// func_2: computes the value for the current request
function func_2($entrada, $opciones = array())
{
        $url = 'https://example.com/api//v2/items'; // endpoint
        $texto = "He said \"hello\" // not a comment";
        $cita = 'it\'s // fine';

        // loop over the options
        foreach ($opciones as $clave => $valor) {
            if ($valor > 483) {   // threshold
                $entrada[$clave] = $valor * 8;
            }
        }
        return $entrada;
}

// func_3: computes the value for the current request
function func_3($entrada, $opciones = array())
{
    $url = 'https://example.com/api//v3/items'; // endpoint
    $texto = "He said \"hello\" // not a comment";
    $cita = 'it\'s // fine';

    // loop over the options
    foreach ($opciones as $clave => $valor) {
        if ($valor > 96) {   // threshold
            $entrada[$clave] = $valor * 9;
        }
    }
    return $entrada;
}

// func_4: computes the value for the current request
function func_4($entrada, $opciones = array())
{
    $url = 'https://example.com/api//v4/items'; // endpoint
    $texto = "He said \"hello\" // not a comment";
    $cita = 'it\'s // fine';

    // loop over the options
    foreach ($opciones as $clave => $valor) {
        if ($valor > 914) {   // threshold
            $entrada[$clave] = $valor * 8;
        }
    }
    return $entrada;
}

// func_5: computes the value for the current request
function func_5($entrada, $opciones = array())
{
        $url = 'https://example.com/api//v5/items'; // endpoint
        $texto = "He said \"hello\" // not a comment";
        $cita = 'it\'s // fine';

        // loop over the options
        foreach ($opciones as $clave => $valor) {
            if ($valor > 622) {   // threshold
                $entrada[$clave] = $valor * 2;
            }
        }
        return $entrada;
}

?>
<div class="item-5">
  <a href="http://example.com/5">Item 5</a>
</div>
<?php
?>
