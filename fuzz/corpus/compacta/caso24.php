a
   
b