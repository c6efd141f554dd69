<?php x(); ?>
</html>
