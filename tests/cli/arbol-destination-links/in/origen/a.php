<?php
  $a = 1; // c
