<?php /* Hecho por X */
/**
 * Una clase.
 * @link https://example.org/doc
 */
class A{
public function f($x){return$x+ +1;}
public$y=__LINE__;
}
echo(new A)->y,"\n";
