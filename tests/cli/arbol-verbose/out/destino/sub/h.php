<?php 
$a=1;
