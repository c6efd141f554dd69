a / b
/c