#!/usr/bin/env php
<?php /* (c) Ejemplo https://example.com/x */
declare(strict_types=1);

echo"run ",__LINE__,"\n";?>
