<?php /* (c) Ejemplo https://example.com/x */
DECLARE(strict_types=1);

/**
 * @link https://example.com/doc
 */
function f(int$a):int{return$a+__LINE__;}
echo f(1),"\n";
