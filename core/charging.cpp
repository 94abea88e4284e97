// Charging controller: not written yet.
