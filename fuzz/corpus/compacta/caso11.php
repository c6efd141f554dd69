a\'b // c
X