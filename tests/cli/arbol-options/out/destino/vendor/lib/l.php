<?php
$x=1;
