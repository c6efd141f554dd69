<?php echo 1; // c
