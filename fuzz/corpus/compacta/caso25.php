a
b