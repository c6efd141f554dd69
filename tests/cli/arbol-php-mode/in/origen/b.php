<html>
<?php echo 1 ;  ?>
</html>
