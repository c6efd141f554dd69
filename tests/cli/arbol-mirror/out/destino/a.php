<?php /* N */
echo 1;
?>
