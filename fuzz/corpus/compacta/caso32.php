a	
