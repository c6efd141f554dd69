#!/usr/bin/php -q
<?php declare(ticks=1);
echo __LINE__;
