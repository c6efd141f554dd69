<?php
// the way forced to the stop-to-stop scan: the same bytes as any other
$url = 'http://example.com//a'; // a comment after a literal
$dice = "He said \"hi\" // not a comment";
    if ($a > 1) {   // indentation and a comment
        echo $url . $dice;
    }
?>
<?php
// the way forced to the stop-to-stop scan: the same bytes as any other
$url = 'http://example.com//a'; // a comment after a literal
$dice = "He said \"hi\" // not a comment";
    if ($a > 1) {   // indentation and a comment
        echo $url . $dice;
    }
?>
<?php
// the way forced to the stop-to-stop scan: the same bytes as any other
$url = 'http://example.com//a'; // a comment after a literal
$dice = "He said \"hi\" // not a comment";
    if ($a > 1) {   // indentation and a comment
        echo $url . $dice;
    }
?>
