<?php $s = 2;
