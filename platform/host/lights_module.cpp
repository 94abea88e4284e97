// Host backend of the lights module: sys/class/leds/NAME/{color,history}.
#include "platform/lights_module.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"

namespace platform {

struct LightDevice {
  char dir[4096];
};

namespace {

constexpr int kMaxLights = 16;
LightDevice g_lights[kMaxLights];
int g_light_count = 0;
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
  snprintf(device_path, sizeof(device_path), "/sys/class/leds/%s", name);
  char path[4096];
  if (!map_path(device_path, path, sizeof(path)) || !is_dir(path)) return nullptr;
  std::lock_guard<std::mutex> lock(g_lights_mutex);
  if (g_light_count >= kMaxLights) return nullptr;
  LightDevice* device = &g_lights[g_light_count++];
  snprintf(device->dir, sizeof(device->dir), "%s", path);
  return device;
}

int lights_set(LightDevice* device, const LightState* state) {
  if (device == nullptr || state == nullptr) return -1;
  char line[16];
  int len = snprintf(line, sizeof(line), "%08x\n", state->color);
  char path[4200];
  snprintf(path, sizeof(path), "%s/color", device->dir);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  bool ok = write(fd, line, len) == len;
  close(fd);
  snprintf(path, sizeof(path), "%s/history", device->dir);
  fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ok = write(fd, line, len) == len && ok;
    close(fd);
  }
  return ok ? 0 : -1;
}

}  // namespace platform
