<?php $a = 1;
