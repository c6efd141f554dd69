<?php /* N */
$t=<<<EOT
  uno // dos
EOT;
