#!/usr/bin/env php
<?php
declare(strict_types=1);
// started from a shell
echo "run ", __LINE__, "\n"; ?>
