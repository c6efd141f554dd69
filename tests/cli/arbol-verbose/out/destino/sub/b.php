<?php
$t=<<<EOT
  uno // dos
EOT;
