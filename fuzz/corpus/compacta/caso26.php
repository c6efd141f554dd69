<?php
echo 1;   
?>   

