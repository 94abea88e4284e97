// Linux backend of the property service: the shared file store, in
// directories chosen at build time (LUMO_PROPERTY_DIR, default
// "/run/lumoboot/properties"; LUMO_PERSIST_PROPERTY_DIR for "persist." keys,
// default "/var/lib/lumoboot/properties"). Never "/dev/__properties__": that
// name belongs to the platform's property service on Android. An init that
// hands the boot on watches "sys.boot.android" there and writes
// "init.svc.bootanim" (README.md, "The Linux backend").
#include "platform/properties.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/property_store.h"

#ifndef LUMO_PROPERTY_DIR
#define LUMO_PROPERTY_DIR "/run/lumoboot/properties"
#endif
#ifndef LUMO_PERSIST_PROPERTY_DIR
#define LUMO_PERSIST_PROPERTY_DIR "/var/lib/lumoboot/properties"
#endif

namespace platform {
namespace {

int make_parent_of(const char* path) {
  char dir[4096];
  int n = snprintf(dir, sizeof(dir), "%s", path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(dir)) return -1;
  char* slash = strrchr(dir, '/');
  if (slash == nullptr || slash == dir) return 0;
  *slash = '\0';
  return make_directories(dir);
}

constexpr PropertyDirs kDirs = {LUMO_PROPERTY_DIR, LUMO_PERSIST_PROPERTY_DIR, make_parent_of};

}  // namespace

int property_get(const char* key, char* value, const char* default_value) {
  return store_property_get(kDirs, key, value, default_value);
}

int property_set(const char* key, const char* value) { return store_property_set(kDirs, key, value); }

}  // namespace platform
