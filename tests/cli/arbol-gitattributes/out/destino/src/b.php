<?php


echo 1;
