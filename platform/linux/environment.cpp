// Linux backend: the program acts on the machine it runs on (the phone, or
// the virtual phone). One guard: LUMO_ROOT in the environment means that
// whoever started it meant a host build and a simulated device, and the
// Linux build would act on the real machine instead, so it refuses.
#include "platform/environment.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

bool check_environment() {
  if (getenv("LUMO_ROOT") == nullptr) return true;
  fprintf(stderr,
          "lumoboot: this is the Linux build, which acts on this machine (it can power it off); "
          "LUMO_ROOT is set, so a simulated device was meant: use the host build\n");
  return false;
}

}  // namespace platform
