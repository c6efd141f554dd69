<?php
// Hecho  
?>
x