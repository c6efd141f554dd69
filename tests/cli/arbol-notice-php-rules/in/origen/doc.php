<?php
/* strict */ DECLARE(strict_types=1); // https://example.com/a

/**
 * @link https://example.com/doc
 */
function f(int $a): int { return $a + __LINE__; } # x
echo f(1), "\n";
