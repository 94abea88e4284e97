// Whether this build may run here at all. Called once by the entry before
// anything else; when it returns false the reason has been written to
// standard error and the program exits with status 2, having touched
// nothing.
// Host backend: refuses without LUMO_ROOT, when it is not a directory, or
// when it resolves to "/" (the host build never acts on the machine it runs
// on). Linux backend: refuses only when LUMO_ROOT is set (a simulated
// device was meant; the Linux build would act on the real machine).
#pragma once

namespace platform {

bool check_environment();

}  // namespace platform
