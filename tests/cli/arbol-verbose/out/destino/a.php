<?php echo 1;  
?>
