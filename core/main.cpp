// lumoboot: the phone's off-mode charging program.
#include <cstdio>
#include <unistd.h>

#include "core/entry.h"
#include "timer/timer.h"

int main() {
  // Before any thread exists, so that every thread inherits the mask.
  timerBlockSignal();
  int status = lumoMain();
  // Detached threads (battery events, input, timers) may still run: leave
  // without destroying static state under their feet.
  fflush(nullptr);
  _exit(status);
}
