// lumoboot: the phone's off-mode charging program.
#include "core/entry.h"

int main() { return lumoMain(); }
