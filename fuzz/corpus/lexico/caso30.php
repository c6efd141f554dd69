<?php
/**
 * @link https://x.org/a
 */
function f() { return __LINE__; } // x
echo __line__, "${a}", "${ a}", "$a[ k]"; // done ?>