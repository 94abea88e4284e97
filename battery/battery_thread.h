// The battery event thread: turns power-supply uevents into MSG_BATTERY
// messages for the charging controller.
//
// Battery::init runs discovery and the first reading on the main thread, then
// starts BatteryThread, which blocks on the kernel's uevents, re-reads the
// battery record after each power-supply event and posts MSG_BATTERY (charger
// online, level) whenever anything in the record changed. stopBatteryThread,
// on the main thread, clears the run flag and detaches the thread without
// waiting: the thread notices at its next uevent, of any kind, and ends. The
// thread never calls into the charging controller and holds no lock while
// posting. There is no restart: init and stop each run once per program run
// (tests may run them again once the previous thread has ended).
#pragma once

#include <cstdint>

class Battery {
 public:
  Battery() = delete;
  // Discovery, first reading, thread start. The result of discovery: 0, or
  // -1 when "/sys/class/power_supply" cannot be opened (the thread runs all
  // the same).
  static int init();
};

// The thread's step for one received uevent (its first text, NUL-ended):
// logged, and a power-supply event re-reads the record and posts
// MSG_BATTERY when anything changed.
void handleUevent(const char* event);

// The thread's body; started by Battery::init.
void* BatteryThread(void* arg);

// Returns at once; safe to call more than once, and before init.
void stopBatteryThread();

// Tests: whether the thread is to keep listening.
bool batteryThreadRunning();
