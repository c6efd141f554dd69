x = 'a
  b'; // k
