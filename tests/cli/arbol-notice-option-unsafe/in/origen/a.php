<?php echo 1;
