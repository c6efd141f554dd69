<?php
$o=(object)["a"=>1,"b"=>2];$k="b";
$v=$o-> #[c]
a;
$k;
echo $v;
