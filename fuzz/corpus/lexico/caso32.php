<?php echo 1; echo __LINE__;/* a
 */
$a <<<X /* c */
if(1); $b = <<<Y
  y
  Y  