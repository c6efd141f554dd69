viejo
