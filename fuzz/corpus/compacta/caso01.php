$a = 'x//y'; // note
$b = 2;
