// The charging controller: the charging mode itself, a message loop on the
// main thread.
//
// Owns the reaction to every message code, the screen time-out timer
// "Lights" and its callback, the wake locks "LumoBoot" (whole charging mode)
// and "Lumo.Boot" (a key that wakes the dark screen), the set-up of screen,
// lights, alarm watcher and CPU policy, the boot of Android from charging
// mode with its ordered tear-down, and the restart when the screen goes dark
// without a charger. Only the main thread calls in, except lightsTimeout,
// which runs on the "Lights" timer thread and touches only the timer service,
// the backlight ramp and the queue. Other threads talk to it through the
// message queue.
#pragma once

#include <cstdint>

#include "queue/message_queue.h"

constexpr int32_t KEY_CODE_END = 107;    // key-up toggles the screen
constexpr int32_t KEY_CODE_POWER = 116;  // key-down boots Android
constexpr int32_t kChargeWarningLitMs = 1500;

// Runs charging mode until Android is booted; returns 0 then.
int runChargingMode();
// Handles one message: 1 to keep the loop going, 0 to end it.
int handleMessage(const Message& message);
// The "Lights" timer callback (the id is ignored).
void lightsTimeout(int32_t timer_id);
// The boot from charging mode, user mode 1 (power key, test) or 4 (alarm):
// 0 when refused for low battery voltage, 1 after handing over to Android.
int startAndroidFromCharging(int32_t user_mode);

// Tests: forgets the controller's state (the "Lights" timer, once created,
// is kept and stopped).
void resetChargingForTest();
