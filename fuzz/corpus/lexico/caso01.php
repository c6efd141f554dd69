<?php echo 1; ?>

 
