<?php
  $x = 1; // x
