'a
// c
X