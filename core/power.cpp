// Boot and power actions: not written yet.
