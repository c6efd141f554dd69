a>
XY