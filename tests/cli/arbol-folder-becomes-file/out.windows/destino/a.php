<?php
  echo 1; 
