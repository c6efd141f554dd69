<?php $a = <<<'X'
// {$b}
X;
