<?php
// Hecho por X
?>
<?php echo $a 
?>
