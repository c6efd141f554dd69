'ab' // c
X