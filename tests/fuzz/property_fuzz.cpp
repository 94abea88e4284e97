// Property values the program parses: the first input byte picks a reader,
// the rest is the value as the property store holds it (store files are
// written directly, so read-only keys take any value). Numbers and booleans
// are checked against plain reference readings.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/properties.h"
#include "config/settings.h"
#include "config/startup.h"
#include "tests/fuzz/fuzz_root.h"
#include "ui/image.h"

namespace {

void store(const std::string& key, const std::string& value) {
  const char* dir = key.rfind("persist.", 0) == 0 ? "/data/property/" : "/dev/__properties__/";
  lumo_fuzz::put_text(dir + key, value);
}

// The value as a reader sees it: the first 91 bytes, cut at a NUL.
std::string seen(const std::string& value) {
  std::string text = value.substr(0, kPropertyValueMax - 1);
  return text.substr(0, strlen(text.c_str()));
}

// "%lld"'s reading within [min, max], or `fallback`.
int64_t reference_number(const std::string& text, int64_t min, int64_t max, int64_t fallback) {
  if (text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE || v < min || v > max) return fallback;
  return v;
}

int reference_bool(const std::string& t, int fallback) {
  if (t == "0" || t == "n" || t == "no" || t == "false" || t == "off") return 0;
  if (t == "1" || t == "y" || t == "yes" || t == "true" || t == "on") return 1;
  return fallback;
}

void check(bool ok) {
  if (!ok) abort();
}

void paths(const std::string& key, const std::string& value) {
  // Device paths with ".." are the path mapping's to refuse; kept out here
  // so that no run ever reaches outside the fuzz root.
  if (value.find("..") != std::string::npos) return;
  store(key, value);
  resetSettingsCache();
  check(getResPath() != nullptr && getLogoName() != nullptr);
  ImageResource picture = {0, nullptr, "boot_charger_full_%s.png", nullptr};
  check(resource_surface(&picture) == nullptr);  // nothing is there to load
  Surface* logo = nullptr;
  check(load_png_surface(getLogoName(), &logo) != PNG_LOAD_OK);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumo_fuzz::fuzz_root();
  lumo_fuzz::fuzz_trim_log();
  if (size == 0) return 0;
  const std::string value(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = seen(value);
  switch (data[0] % 9) {
    case 0: {  // the reboot record, through the store and directly
      store(PROPERTY_REBOOT, value);
      takeRebootRecord();
      // A record counts only when dated within the longest window (60 s).
      constexpr int64_t kNow = 1765000000000;
      if (rebootRecordMode(text.c_str(), kNow) != -1) {
        int64_t time = reference_number(text, 0, INT64_MAX, kNow);
        check(time < kNow && kNow - time <= 60000);
      }
      break;
    }
    case 1:
      store("sys.time.compensated", value);
      check(isTimeCompensated() == (text.substr(0, 63).rfind("true", 0) == 0 ? 1 : 0));
      break;
    case 2: {  // language and country, split at the first ';'
      size_t cut = value.find(';');
      store("persist.sys.language", value.substr(0, cut));
      store("persist.sys.country", cut == std::string::npos ? "" : value.substr(cut + 1));
      resetSettingsCache();
      const char* tag = getLanguage();
      check(strlen(tag) < 128);
      for (const char* p = tag; *p != '\0'; ++p) check(*p < 'A' || *p > 'Z');
      break;
    }
    case 3: paths("ro.lboot.res.path", value); break;
    case 4: paths("ro.lboot.logo.name", value); break;
    case 5:
      store("ro.lboot.vol.poweron", value);
      resetSettingsCache();
      check(getPowerOnVoltage() == reference_number(text, INT32_MIN, INT32_MAX, 3000));
      check(propertyGetInt("ro.lboot.vol.poweron", 7) == reference_number(text, INT32_MIN, INT32_MAX, 7));
      break;
    case 6:
      store("persist.sys.poweralarm.time", value);
      check(getPowerAlarmTime() == reference_number(text, INT64_MIN, INT64_MAX, 0));
      break;
    case 7:
      store("ro.lboot.force.entry", value);
      resetSettingsCache();
      check(isForceEntry() == reference_bool(text, 0));
      check(propertyGetBool("ro.lboot.force.entry", 1) == reference_bool(text, 1));
      break;
    default: {  // the number scanner itself, with bounds from the input
      int64_t lo = INT64_MIN, hi = INT64_MAX;
      if (size > 17) {
        memcpy(&lo, data + 1, 8);
        memcpy(&hi, data + 9, 8);
      }
      const char* at = text.c_str();
      int64_t number = 0;
      if (scanDecimal(&at, lo, hi, &number)) {
        check(number >= lo && number <= hi && at > text.c_str());
        check(number == reference_number(text, INT64_MIN, INT64_MAX, number == 0 ? 1 : 0));
      }
      break;
    }
  }
  return 0;
}
