<?php echo 1; 
