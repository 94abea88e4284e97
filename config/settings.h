// The program's settings: one accessor per system property, with the default
// in code. Tuning values (ro.lboot.*) are read once and cached; the caches
// are atomic words so that any thread may read them. Text caches are built on
// the main thread during charging set-up and only read afterwards.
#pragma once

#include <cstdint>

int32_t getVibratorTimeout();     // "ro.lboot.vibrator.timeout", 150 ms
int32_t getUnchargeLightTimer();  // "ro.lboot.uncharge.light.tmr", 750 ms
int32_t getLightTimeout();        // "ro.lboot.light.timeout", 8000 ms
int32_t getBrightness();          // "ro.lboot.brightness", 51
int32_t getPowerOnVoltage();      // "ro.lboot.vol.poweron", 3000 mV
int32_t getShowVoltage();         // "ro.lboot.vol.show", 5000 mV
int isForceEntry();               // "ro.lboot.force.entry", false

const char* getResPath();   // "ro.lboot.res.path", "/system/lumo/res/"
const char* getLogoName();  // resource directory + "ro.lboot.logo.name"
const char* getLanguage();  // "%s_%s" of language and country, lower case

int isTestMode();  // "persist.sys.lumo.test.mode" == 3

int32_t getLumoBootRunning();
// Sets "ro.lumoboot.running" to 1 and waits until it reads back non-zero.
// Returns 0, or -1 when the property service refused it for too long.
int markLumoBootRunning();

int32_t getLumoPowerStartup();  // "zelt.lumopower.startup", default -1
// Stores the mode and waits until it reads back. 0, or -1 when refused for
// too long.
int setLumoPowerStartup(int32_t mode);

// The reboot record ("persist.sys.lumo.REBOOT"): a static buffer, or nullptr
// when unset or empty.
const char* getRebootProperty();
void setRebootProperty(const char* text);

int64_t getPowerAlarmTime();  // "persist.sys.poweralarm.time", 0
void setPowerAlarmTime(int64_t ms);
int isTimeCompensated();  // "sys.time.compensated" begins with "true"

// Sets "sys.boot.android" to "1" and reads it back 1 s later, again and
// again until it reads 1: the hand-over to Android is never given up, and a
// store that keeps refusing is reported by one error line every 30 failed
// tries. Returns 0 once the value reads back.
int signalBootAndroid();
// The same loop with another pause between tries (tests).
int signalBootAndroidEvery(int pause_ms);

void enableAdb();   // "persist.service.adb.enable" = 1
void disableAdb();  // "persist.service.adb.enable" = 0

const char* bootLogoPath();  // "/initlogo.rle"

// Tests: forget every cached value.
void resetSettingsCache();
