// Host backend of the property service: the shared file store, in
// dev/__properties__ and data/property under the device root.
#include "platform/properties.h"

#include "platform/host/host.h"
#include "platform/paths.h"
#include "platform/property_store.h"

namespace platform {
namespace {

// The store's directories under the current device root; false without one.
struct HostDirs {
  char volatile_dir[4096];
  char persist_dir[4096];
  PropertyDirs dirs;
  bool mapped;
  HostDirs()
      : mapped(map_path("/dev/__properties__", volatile_dir, sizeof(volatile_dir)) &&
               map_path("/data/property", persist_dir, sizeof(persist_dir))) {
    dirs = {volatile_dir, persist_dir, make_parent_dirs};
  }
};

}  // namespace

int property_get(const char* key, char* value, const char* default_value) {
  HostDirs host;
  PropertyDirs none = {nullptr, nullptr, nullptr};
  return store_property_get(host.mapped ? host.dirs : none, key, value, default_value);
}

int property_set(const char* key, const char* value) {
  HostDirs host;
  if (!host.mapped) return -1;
  return store_property_set(host.dirs, key, value);
}

}  // namespace platform
