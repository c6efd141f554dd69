a
// b
c