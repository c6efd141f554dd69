a
	b