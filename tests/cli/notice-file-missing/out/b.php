<?php echo $a 
?>
