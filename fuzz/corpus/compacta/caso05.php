a // b
c