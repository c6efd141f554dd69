<?php
// cabecera
DECLARE(strict_types=1);
echo 1;
