#!/usr/bin/php -q
<?php
// Hecho por X
 declare(ticks=1); echo __LINE__;