<?php $a = <<<EOT
uno
  dos
EOT;
