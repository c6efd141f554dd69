<?php
#[Ruta('/a')]
function f() {}