x // y ?> z
w