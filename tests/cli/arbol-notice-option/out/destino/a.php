<?php /* (c) 2026 Ana Ruiz */
echo 1;
