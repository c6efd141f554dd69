<?php
// (c) Ejemplo https://example.com/x
?>
<?php
  echo "plain"; 
