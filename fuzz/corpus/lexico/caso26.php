<?php a();
b();