<?php
echo 1; 
