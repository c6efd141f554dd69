borrar
