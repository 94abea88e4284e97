#include "config/settings.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "config/properties.h"
#include "config/startup.h"
#include "platform/log.h"

namespace {

constexpr int kNotRead = -1;
// The set-and-verify writers give up after this many attempts rather than
// hang the phone's start-up for ever on a property service that refuses.
constexpr int kSetAttempts = 50;       // 100 ms each: 5 s
constexpr long kBootSignalReport = 30;  // failed tries (1 s each) per error line

struct IntSetting {
  const char* key;
  int32_t default_value;
  std::atomic<int32_t> cache{kNotRead};
};

IntSetting g_vibrator_timeout{"ro.lboot.vibrator.timeout", 150};
IntSetting g_uncharge_light_timer{"ro.lboot.uncharge.light.tmr", 750};
IntSetting g_light_timeout{"ro.lboot.light.timeout", 8000};
IntSetting g_brightness{"ro.lboot.brightness", 51};
IntSetting g_power_on_voltage{"ro.lboot.vol.poweron", 3000};
IntSetting g_show_voltage{"ro.lboot.vol.show", 5000};
std::atomic<int32_t> g_force_entry{kNotRead};

int32_t cachedInt(IntSetting& setting) {
  int32_t value = setting.cache.load(std::memory_order_relaxed);
  if (value == kNotRead) {
    value = propertyGetInt(setting.key, setting.default_value);
    setting.cache.store(value, std::memory_order_relaxed);
  }
  return value;
}

// Text caches: built once on the main thread, read-only afterwards. When the
// heap is short they fall back to static storage so that callers always get
// a text.
std::atomic<char*> g_res_path{nullptr};
std::atomic<char*> g_language{nullptr};
std::atomic<char*> g_logo_name{nullptr};
constexpr const char* kDefaultResPath = "/system/lumo/res/";
constexpr const char* kDefaultLogoName = "zelt_logo.png";
constexpr int kLanguageSize = 128;
char g_language_fallback[kLanguageSize];
char g_logo_fallback[2 * kPropertyCopySize + 16];
char g_reboot_record[kPropertyValueMax];


}  // namespace

int32_t getVibratorTimeout() { return cachedInt(g_vibrator_timeout); }
int32_t getUnchargeLightTimer() { return cachedInt(g_uncharge_light_timer); }
int32_t getLightTimeout() { return cachedInt(g_light_timeout); }
int32_t getBrightness() { return cachedInt(g_brightness); }
int32_t getPowerOnVoltage() { return cachedInt(g_power_on_voltage); }
int32_t getShowVoltage() { return cachedInt(g_show_voltage); }

int isForceEntry() {
  int32_t value = g_force_entry.load(std::memory_order_relaxed);
  if (value == kNotRead) {
    value = propertyGetBool("ro.lboot.force.entry", 0);
    LOGD("Lumo boot force entry = %d.", value);
    g_force_entry.store(value, std::memory_order_relaxed);
  }
  return value;
}

const char* getResPath() {
  char* path = g_res_path.load();
  if (path != nullptr) return path;
  path = propertyGetText("ro.lboot.res.path", kDefaultResPath, nullptr);
  LOGD("ResPath : %s", path != nullptr ? path : "NULL");
  if (path == nullptr) return kDefaultResPath;
  g_res_path.store(path);
  return path;
}

const char* getLanguage() {
  char* tag = g_language.load();
  if (tag != nullptr) return tag;
  LOGW("Malloc 128 for language");
  tag = static_cast<char*>(calloc(1, kLanguageSize));
  if (tag == nullptr) tag = g_language_fallback;
  char* language = propertyGetStringCopy("persist.sys.language", "zh");
  char* country = propertyGetStringCopy("persist.sys.country", "CN");
  // Two values of up to 91 characters may not fit: the tag is cut at 127.
  snprintf(tag, kLanguageSize, "%s_%s", language != nullptr ? language : "NULL",
           country != nullptr ? country : "NULL");
  for (char* p = tag; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  free(language);
  free(country);
  LOGW("System language %s", tag);
  g_language.store(tag);
  return tag;
}

const char* getLogoName() {
  char* logo = g_logo_name.load();
  if (logo != nullptr) return logo;
  const char* dir = getResPath();
  char* name = propertyGetStringCopy("ro.lboot.logo.name", kDefaultLogoName);
  const char* file = name != nullptr ? name : kDefaultLogoName;
  size_t size = (strlen(dir) + strlen(file) + 17) & ~static_cast<size_t>(15);
  LOGW("Malloc %d for logo name.", static_cast<int>(size));
  logo = static_cast<char*>(malloc(size));
  if (logo == nullptr) {
    logo = g_logo_fallback;
    size = sizeof(g_logo_fallback);
  }
  snprintf(logo, size, "%s%s", dir, file);
  free(name);
  LOGD("LogoName : %s", logo);
  g_logo_name.store(logo);
  return logo;
}

int isTestMode() { return propertyGetInt("persist.sys.lumo.test.mode", 0) == 3 ? 1 : 0; }

int32_t getLumoBootRunning() { return propertyGetInt("ro.lumoboot.running", 0); }

int markLumoBootRunning() {
  for (int attempt = 0; attempt < kSetAttempts; ++attempt) {
    propertySetInt("ro.lumoboot.running", 1);
    sleepMs(100);
    if (getLumoBootRunning() != 0) return 0;
  }
  LOGE("Set %s refused %d times, giving up.", "ro.lumoboot.running", kSetAttempts);
  return -1;
}

int32_t getLumoPowerStartup() { return propertyGetInt("zelt.lumopower.startup", -1); }

int setLumoPowerStartup(int32_t mode) {
  LOGW("Set %s = %d", "zelt.lumopower.startup", mode);
  for (int attempt = 0; attempt < kSetAttempts; ++attempt) {
    propertySetInt("zelt.lumopower.startup", mode);
    sleepMs(100);
    if (getLumoPowerStartup() == mode) return 0;
  }
  LOGE("Set %s refused %d times, giving up.", "zelt.lumopower.startup", kSetAttempts);
  return -1;
}

const char* getRebootProperty() {
  // The platform's full value size: a record too long for its 63-character
  // form is read whole and then fails to parse, instead of overrunning.
  return propertyGetText("persist.sys.lumo.REBOOT", nullptr, g_reboot_record);
}

void setRebootProperty(const char* text) {
  LOGW("Set %s = %s", "persist.sys.lumo.REBOOT", text != nullptr ? text : "");
  propertySetString("persist.sys.lumo.REBOOT", text);
}

int64_t getPowerAlarmTime() { return propertyGetLongLong("persist.sys.poweralarm.time", 0); }

void setPowerAlarmTime(int64_t ms) { propertySetLongLong("persist.sys.poweralarm.time", ms); }

int isTimeCompensated() {
  char value[64] = {};
  if (propertyGetStringBounded("sys.time.compensated", value, sizeof(value)) == nullptr) return 0;
  return strncmp(value, "true", 4) == 0 ? 1 : 0;
}

int signalBootAndroid() { return signalBootAndroidEvery(1000); }

int signalBootAndroidEvery(int pause_ms) {
  // Giving up here would leave the phone neither charging nor booting.
  for (long failed = 1;; ++failed) {
    propertySetString("sys.boot.android", "1");
    sleepMs(pause_ms);
    if (propertyGetInt("sys.boot.android", 0) == 1) return 0;
    if (failed % kBootSignalReport == 0) {
      LOGE("Set %s refused %ld times, trying again.", "sys.boot.android", failed);
    }
  }
}

void enableAdb() { propertySetInt("persist.service.adb.enable", 1); }
void disableAdb() { propertySetInt("persist.service.adb.enable", 0); }

const char* bootLogoPath() { return "/initlogo.rle"; }

void resetSettingsCache() {
  for (IntSetting* s : {&g_vibrator_timeout, &g_uncharge_light_timer, &g_light_timeout, &g_brightness,
                        &g_power_on_voltage, &g_show_voltage}) {
    s->cache.store(kNotRead);
  }
  g_force_entry.store(kNotRead);
  free(g_res_path.exchange(nullptr));
  char* language = g_language.exchange(nullptr);
  if (language != g_language_fallback) free(language);
  char* logo = g_logo_name.exchange(nullptr);
  if (logo != g_logo_fallback) free(logo);
}
