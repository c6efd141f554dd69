<?php
// note
$a = 1; // one
echo "x{$a}";
