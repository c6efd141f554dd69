<?php
/**
 * It's
 */
function f() {}