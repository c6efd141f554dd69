<?php echo "{$a["k"]} // x";
$b = 1;