// How the phone was started, kept stable within a boot
// ("zelt.lumopower.startup") and across a restart (the reboot record
// "persist.sys.lumo.REBOOT"). Main thread only.
#pragma once

#include <cstdint>

enum StartupMode : int32_t {
  STARTUP_UNKNOWN = -1,
  STARTUP_PWRKEY = 1,
  STARTUP_CHARGER = 2,
  STARTUP_ALARM = 4,
};

#define PROPERTY_REBOOT "persist.sys.lumo.REBOOT"

int32_t startupMode();
void rememberStartupMode(int32_t mode, bool write_record);
int32_t readStartupSource();
int32_t takeRebootRecord();
// The mode of the reboot record `text` read at `now_ms` ("%llu;%d;%llu":
// time, mode, optional window), or -1 when the text does not parse or the
// record is not fresh. Numbers outside their field's range do not parse; a
// window is capped at the 25000 ms this program writes. Logs as
// takeRebootRecord does; no other effect.
int32_t rebootRecordMode(const char* text, int64_t now_ms);
void writeRebootRecord(int32_t mode);
int64_t nowMs();
// Sleeps `ms` milliseconds (the fixed pauses between steps).
void sleepMs(int ms);
