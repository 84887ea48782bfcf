detached signature of the english pelno package (sample)
