<?php
  echo $a; // x
?>