<?php $b = "//"; # dos
