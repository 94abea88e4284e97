// The battery event thread and the monitor's start and stop.
#include "battery/battery_thread.h"

#include <atomic>
#include <cstring>
#include <pthread.h>

#include "battery/battery.h"
#include "queue/message_queue.h"
#include "platform/hardware.h"
#include "platform/log.h"

namespace {

constexpr int kEventBufferSize = 1024;

std::atomic<int32_t> g_running{0};
// Set while a started thread has not been detached yet; guards the handle so
// that a stop before init, or a second stop, detaches nothing.
std::atomic<bool> g_thread_attached{false};
pthread_t g_thread;

bool isPowerSupplyEvent(const char* header) { return strstr(header, "power_supply") != nullptr; }

// Re-reads the record; posts MSG_BATTERY when anything in it changed.
void handlePowerSupplyEvent() {
  BatteryState previous = getBatteryState();
  readBatteryState();
  BatteryState current = getBatteryState();
  if (current == previous) return;
  LOGD(" broadcast MSG_BATTERY");
  clearBatteryStateLogged();
  logBatteryState();
  int32_t online = isChargerOnline();
  int32_t level = getBatteryLevel();
  sendMessage(MSG_BATTERY, online, level);
}

}  // namespace

void handleUevent(const char* event) {
  LOGD(" event : %s", event);
  if (isPowerSupplyEvent(event)) handlePowerSupplyEvent();
}

void* BatteryThread(void* /*arg*/) {
  platform::uevent_init();
  while (g_running.load() != 0) {
    // Zeroed, and one byte short of full, so the text always ends in NUL.
    char event[kEventBufferSize] = {};
    if (platform::uevent_next_event(event, kEventBufferSize - 1) == 0) continue;
    if (g_running.load() == 0) {
      LOGD(" event : %s", event);
      continue;
    }
    handleUevent(event);
  }
  LOGD("Battery thread exit.");
  return nullptr;
}

int Battery::init() {
  int result = register_BatteryService();
  if (result == 0) {
    readBatteryState();
  } else {
    LOGE(" register_BatteryService = %d", result);
  }
  g_running.store(1);
  if (pthread_create(&g_thread, nullptr, BatteryThread, nullptr) == 0) {
    g_thread_attached.store(true);
  }
  LOGW("Battery thread return %d", result);
  return result;
}

void stopBatteryThread() {
  LOGW("Detach BatteryThread.");
  if (g_thread_attached.exchange(false)) pthread_detach(g_thread);
  g_running.store(0);
  LOGD("JOIN BatteryThread.");
  LOGW("BatteryThread exit code %d.", 0);
}

bool batteryThreadRunning() { return g_running.load() != 0; }
