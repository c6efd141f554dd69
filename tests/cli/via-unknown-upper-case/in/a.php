<?php echo 1;
