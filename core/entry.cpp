// Placeholder until the start-up sequence lands.
#include "core/entry.h"

int lumoMain() { return 0; }
