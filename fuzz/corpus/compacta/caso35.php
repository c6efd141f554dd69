>

X