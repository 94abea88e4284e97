// Boot and power actions: hand the boot over to Android, record the power-on
// reason for the kernel, switch the CPU frequency policy, power off, restart
// with a reason, switch the screen's power, take and give back wake locks.
//
// No state of its own. Each action is short and self-contained and logs its
// own lines; when to use them is the caller's decision. bootAndroid, the
// power-on reason, the CPU policies, powerOff and the restarts run on the main
// thread. setScreenState runs on the main thread and the lights timer threads,
// the wake-lock calls on the main thread and the alarm thread; none of them
// holds a lock of its own. Every device path goes through the platform layer;
// reboot and power-off never act on the host machine.
#pragma once

#include <cstdint>

// Sets "sys.boot.android" and waits (at most 15 looks, 1 s apart) for the
// boot animation to report "running". `startup_mode` -1 means the mode is
// already recorded; any other value is stored first.
void bootAndroid(int32_t startup_mode);

// Writes "charge_pwrkey" (user mode 1) or "charge_rtc" (user mode 4) to
// "/sys/power/startup_mode", without a terminator.
void writePowerOnReason(int32_t user_mode);

// The CPU frequency policy while charging (cpu0 first, then cpu1) and for
// booting. Every text is written with its terminating zero byte.
void decrease_cpu0_freq();
void decrease_cpu1_freq();
void set_cpufreq_to_boot();

// Does not return when the kernel acts; returns (silently) when it refuses.
void powerOff();
// Restarts, with the reason text when it is not null. Logs and returns when
// the kernel refuses.
void rebootWithReason(const char* reason);
void rebootDevice(const char* reason);

void setScreenState(int on);

// Wake locks by name (lock type 1, partial). A null name is only logged.
void acquireWakeLock(int lock_type, const char* name);
void releaseWakeLock(const char* name);
