<?php # uno
$a = 1;
