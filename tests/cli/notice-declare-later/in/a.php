<?php
echo 1;
declare(ticks=1);
