// The platform's lights hardware module: load it, open a light by name, send
// it a light state.
//
// Backends: platform/host/lights_module.cpp (files under the device root),
// platform/linux/lights_module.cpp (the kernel's backlight and LED classes).
#pragma once

#include <cstdint>

namespace platform {

// The platform's light_state_t.
struct LightState {
  uint32_t color;  // 0xAARRGGBB
  int32_t flashMode;
  int32_t flashOnMS;
  int32_t flashOffMS;
  int32_t brightnessMode;
};

struct LightDevice;

// hw_get_module("lights"): 0 when the module is there, negative otherwise.
int lights_module_load();

// The module's open method for one light; nullptr when it cannot be opened.
LightDevice* lights_open(const char* name);

// The device's set_light. Returns 0 or a negative value.
int lights_set(LightDevice* device, const LightState* state);

}  // namespace platform
