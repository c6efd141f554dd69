a // cb
d