#!/usr/bin/env php
<?php /* (c) 2026 Ana Ruiz */
echo 2;
