<?php __halt_compiler
  yield?><?= public
  raw