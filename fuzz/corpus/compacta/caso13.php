"it's" // c
X