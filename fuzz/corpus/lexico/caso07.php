<?php $a = <<<X
  a
  XY
  X;
echo 1;