<?php
echo 1; // uno
