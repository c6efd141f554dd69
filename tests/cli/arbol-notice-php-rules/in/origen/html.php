
<html><body>
<?php echo 1 + 2; // three
?>
</body></html>
