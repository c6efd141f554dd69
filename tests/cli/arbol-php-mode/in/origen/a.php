<?php
/**
 * Una clase.
 * @link https://example.org/doc
 */
class A {   // fin
    public function f( $x ) { return $x + +1; } # otro
    /* bloque */ public $y = __LINE__;
}
echo (new A)->y, "\n";
