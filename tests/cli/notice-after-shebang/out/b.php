#!/usr/bin/env php
<?php
// Hecho por X
?>
<?php
echo 1;
