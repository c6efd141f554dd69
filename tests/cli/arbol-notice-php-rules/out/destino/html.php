<?php
// (c) Ejemplo https://example.com/x
?>

<html><body>
<?php echo 1 + 2; 
?>
</body></html>
