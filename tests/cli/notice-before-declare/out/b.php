<?php
// Hecho por X
  DECLARE(strict_types=1); echo 1;