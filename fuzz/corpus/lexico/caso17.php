<?php echo 1; ?>
<b>
</b>