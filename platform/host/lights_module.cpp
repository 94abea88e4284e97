// Host backend of the lights module: sys/class/leds/NAME/{color,history}.
// The module is present when sys/class/leds/ exists under the
// device root, and the light NAME opens when sys/class/leds/NAME/ exists.
// Each request replaces sys/class/leds/NAME/color with "%08x" of the ARGB
// colour and appends the same line to sys/class/leds/NAME/history.
#include "platform/lights_module.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/owned.h"
#include "platform/paths.h"

namespace platform {

// One per light directory, made on its first open and kept (and reused) for
// the rest of the process, as the module's devices are never closed. Chained
// so that a process that opens lights under many device roots (tests) never
// runs out.
struct LightDevice {
  LightDevice* next;
  char dir[4096];
};

namespace {

LightDevice* g_lights = nullptr;
std::mutex g_lights_mutex;

bool is_dir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int lights_module_load() {
  char path[4096];
  if (!map_path("/sys/class/leds", path, sizeof(path)) || !is_dir(path)) return -1;
  return 0;
}

LightDevice* lights_open(const char* name) {
  if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr || name[0] == '.') {
    return nullptr;
  }
  char device_path[512];
  if (snprintf(device_path, sizeof(device_path), "/sys/class/leds/%s", name) >= static_cast<int>(sizeof(device_path))) {
    return nullptr;
  }
  char path[4096];
  if (!map_path(device_path, path, sizeof(path)) || !is_dir(path)) return nullptr;
  std::lock_guard<std::mutex> lock(g_lights_mutex);
  for (LightDevice* d = g_lights; d != nullptr; d = d->next) {
    if (strcmp(d->dir, path) == 0) return d;
  }
  LightDevice* device = new (std::nothrow) LightDevice;
  if (device == nullptr) return nullptr;
  snprintf(device->dir, sizeof(device->dir), "%s", path);
  device->next = g_lights;
  g_lights = device;
  return device;
}

int lights_set(LightDevice* device, const LightState* state) {
  if (device == nullptr || state == nullptr) return -1;
  char line[16];
  int len = snprintf(line, sizeof(line), "%08x\n", state->color);
  char path[4200];
  snprintf(path, sizeof(path), "%s/color", device->dir);
  // The colour file holds the bare value; the history keeps one line each.
  bool ok = replace_file(path, line, static_cast<size_t>(len - 1));
  snprintf(path, sizeof(path), "%s/history", device->dir);
  UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd) return -1;
  ok = write_all(fd.get(), line, static_cast<size_t>(len)) && ok;
  return ok ? 0 : -1;
}

}  // namespace platform
