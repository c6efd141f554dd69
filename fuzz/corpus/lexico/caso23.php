<?php __halt_compiler();
raw // data