<?php /* Hecho por X */ ?><html>
<?php echo 1;?>
</html>
