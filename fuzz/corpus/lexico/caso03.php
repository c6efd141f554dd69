<?php # a
x();