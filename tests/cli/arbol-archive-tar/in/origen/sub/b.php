<?php
function b() { return __LINE__; } // b
