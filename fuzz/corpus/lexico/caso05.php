<?php a /* x
 y */ b;