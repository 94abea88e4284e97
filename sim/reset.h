// Brings a used phone back to the state `create` left it in, as a new boot
// would: clears what a run of the program leaves (the run-once mark
// "ro.lumoboot.running", the published start-up facts, the boot hand-over
// and init's answer to it, the log and the reboot lines) and writes the
// start-up source files and the phone's own properties again from the
// options it was made with. Persistent properties ("persist.*": the reboot
// record, the alarm time, adb) stay, as they survive a reboot. Works through
// the Phone interface, so the live server's restart and `lumo-sim reset` are
// one implementation. The program must not be running.
#pragma once

#include <string>

#include "sim/phone.h"

namespace sim {

// The properties a run sets that a new boot does not have.
extern const char* const kRunProperties[];

bool reset_phone(Phone* phone, std::string* error);

}  // namespace sim
