a
   b