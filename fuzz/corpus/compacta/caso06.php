a // b
c
d