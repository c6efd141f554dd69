<?php
  $a = 1; // uno
