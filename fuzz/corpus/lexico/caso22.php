<?php $a = '\\'; $b = 'http://x';
