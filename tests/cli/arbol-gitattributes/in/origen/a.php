<?php

// note
echo 1;
