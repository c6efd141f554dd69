
  x