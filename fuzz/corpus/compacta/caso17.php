# it's // d
x