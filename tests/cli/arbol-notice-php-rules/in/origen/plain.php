<?php
  echo "plain"; // ok
