#include "config/startup.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/time.h>
#include <unistd.h>

#include "config/properties.h"
#include "config/settings.h"
#include "platform/log.h"

namespace {

constexpr const char* kAppBootPath = "/sys/power/app_boot";
constexpr const char* kStartupModePath = "/sys/power/startup_mode";
constexpr int64_t kDefaultWindowMs = 60000;
constexpr int64_t kWrittenWindowMs = 25000;

bool isOneOf(const char* text, std::initializer_list<const char*> words) {
  for (const char* word : words) {
    if (strcmp(text, word) == 0) return true;
  }
  return false;
}

// Reads the record's fields as "%llu;%d;%llu" would, each within its range;
// the number of fields read.
int scanRebootRecord(const char* text, int64_t* time, int64_t* mode, int64_t* window) {
  if (!scanDecimal(&text, 0, INT64_MAX, time)) return 0;
  if (*text++ != ';' || !scanDecimal(&text, INT32_MIN, INT32_MAX, mode)) return 1;
  if (*text++ != ';' || !scanDecimal(&text, 0, INT64_MAX, window)) return 2;
  return 3;
}

}  // namespace

void sleepMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

int64_t nowMs() {
  timeval tv = {};
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

int32_t readStartupSource() {
  char text[128];
  if (readSysfsFile(kAppBootPath, text, sizeof(text)) > 0 && strcmp(text, "reboot") == 0) {
    LOGW("Phone is reboot!");
    return STARTUP_PWRKEY;
  }
  if (readSysfsFile(kStartupModePath, text, sizeof(text)) <= 0) {
    LOGE("Read %s fail!", kStartupModePath);
    return STARTUP_UNKNOWN;
  }
  int32_t mode = STARTUP_PWRKEY;
  if (isOneOf(text, {"STARTMODE_CHGINS", "STARTMODE_EXT0", "STARTMODE_USBINS", "2", "STARTMODE_CABLE",
                     "charger"})) {
    mode = STARTUP_CHARGER;
  } else if (isOneOf(text, {"STARTMODE_ALARM", "1"})) {
    mode = STARTUP_ALARM;
  }
  LOGD(" StartupSource = %s -> %d", text, mode);
  return mode;
}

int32_t rebootRecordMode(const char* text, int64_t now_ms) {
  int64_t time = 0;
  int64_t mode = -1;
  int64_t window = kDefaultWindowMs;
  int fields = scanRebootRecord(text, &time, &mode, &window);
  if (fields < 2) {
    LOGE("scanf PROPERTY_REBOOT : %s fail!\n", text);
    return -1;
  }
  // A record only this program writes never claims more than its own window:
  // a forged or damaged one cannot stay fresh for years.
  if (fields == 2) {
    window = kDefaultWindowMs;
  } else if (window > kWrittenWindowMs) {
    window = kWrittenWindowMs;
  }
  auto now = static_cast<unsigned long long>(now_ms);
  auto start = static_cast<unsigned long long>(time);
  auto span = static_cast<unsigned long long>(window);
  LOGD("Scan PROPERTY_REBOOT result : tm = %llu; mode = %d\n", start, static_cast<int>(mode));
  if (start < now && now - start <= span) {
    LOGD("Now time %llu distance %llu < %llu;\n", now, now - start, span);
    return static_cast<int32_t>(mode);
  }
  LOGE("Now time over %llu distance %llu > %llu ;\n", now, now - start, span);
  return -1;
}

int32_t takeRebootRecord() {
  const char* record = getRebootProperty();
  if (record == nullptr || record[0] == '\0') return -1;
  char text[kPropertyValueMax];
  snprintf(text, sizeof(text), "%s", record);
  setRebootProperty("");  // the record is used up, whatever it says
  return rebootRecordMode(text, nowMs());
}

void writeRebootRecord(int32_t mode) {
  if (mode == -1) {
    setRebootProperty("");
    return;
  }
  char record[kPropertyValueMax];
  snprintf(record, sizeof(record), "%llu;%d;%ld", static_cast<unsigned long long>(nowMs()), mode,
           static_cast<long>(kWrittenWindowMs));
  setRebootProperty(record);
}

void rememberStartupMode(int32_t mode, bool write_record) {
  if (mode == -1) return;
  setLumoPowerStartup(mode);
  if (write_record) {
    sleepMs(50);
    writeRebootRecord(mode);
  }
}

int32_t startupMode() {
  int32_t mode = takeRebootRecord();
  if (mode != -1) {
    setLumoPowerStartup(mode);
    return mode;
  }
  mode = getLumoPowerStartup();
  if (mode != -1) return mode;
  mode = readStartupSource();
  setLumoPowerStartup(mode);
  return mode;
}
