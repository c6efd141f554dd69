<?php  $url = 'http://example.com//a';  $dice = "He said \"hi\" // not a comment"; if ($a > 1) {    echo $url . $dice; } ?> <?php  $url = 'http://example.com//a';  $dice = "He said \"hi\" // not a comment"; if ($a > 1) {    echo $url . $dice; } ?> <?php  $url = 'http://example.com//a';  $dice = "He said \"hi\" // not a comment"; if ($a > 1) {    echo $url . $dice; } 
?>
