<?php # c
x();