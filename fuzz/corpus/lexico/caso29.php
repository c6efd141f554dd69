<?php
const EOT="k";$a=["k"=>"v"];
echo <<<EOT
{$a[
EOT
]} http://x
EOT;
