<?php
// the line of a report
function donde() { return __LINE__; }
echo donde(), "\n"; # 3
