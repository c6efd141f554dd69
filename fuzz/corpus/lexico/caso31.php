<?php function f(& /**/ $a) { yield /* c */ from [1]; yield
 from [2]; }
enum /**/ A {} enum
B {} $o?->/**/class; Foo\ Bar; (/**/int) $x;
