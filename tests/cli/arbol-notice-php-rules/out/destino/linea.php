<?php /* (c) Ejemplo https://example.com/x */

function donde(){return __LINE__;}
echo donde(),"\n";
