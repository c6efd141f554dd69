<?php
// a
echo 1; // b
?>
