<?php
// (c) 2026 Ana Ruiz
?>
<?php echo 1;