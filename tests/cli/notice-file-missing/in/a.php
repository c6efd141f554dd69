<?php
  echo $a
?>
