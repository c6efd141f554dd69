<?php
// N */ M
?>
<?php echo 1;  
?>
