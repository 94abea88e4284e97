// Linux backend: the program acts on the machine it runs on, which is the
// phone (or the virtual phone); nothing to check.
#include "platform/environment.h"

namespace platform {

bool check_environment() { return true; }

}  // namespace platform
