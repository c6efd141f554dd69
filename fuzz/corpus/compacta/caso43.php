x  
  