<?php
$a = 'x
  y';