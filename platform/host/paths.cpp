// Host backend of the device paths: every device path lies under the root.
#include "platform/paths.h"

#include "platform/host/host.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace platform {
namespace {

// Roots are never freed: a thread may still hold the previous one while a
// test installs the next. They are chained so that they stay reachable.
struct Root {
  Root* previous;
  char dir[4096];
};

std::atomic<Root*> g_root{nullptr};
std::once_flag g_env_once;
std::mutex g_set_mutex;

bool install_root(const char* dir) {
  char resolved[PATH_MAX];
  if (!resolve_device_root(dir, resolved, sizeof(resolved))) return false;
  Root* root = static_cast<Root*>(calloc(1, sizeof(Root)));
  if (root == nullptr) return false;
  snprintf(root->dir, sizeof(root->dir), "%s", resolved);
  std::lock_guard<std::mutex> lock(g_set_mutex);
  root->previous = g_root.load();
  g_root.store(root);
  return true;
}

// True when `path` has a ".." component.
bool climbs(const char* path) {
  for (const char* p = strstr(path, ".."); p != nullptr; p = strstr(p + 1, "..")) {
    bool starts = p == path || p[-1] == '/';
    bool ends = p[2] == '\0' || p[2] == '/';
    if (starts && ends) return true;
  }
  return false;
}

}  // namespace

const char* device_root() {
  std::call_once(g_env_once, [] {
    if (g_root.load() == nullptr) install_root(getenv("LUMO_ROOT"));
  });
  Root* root = g_root.load();
  return root == nullptr ? nullptr : root->dir;
}

bool set_device_root(const char* dir) {
  std::call_once(g_env_once, [] {});  // an explicit root wins over LUMO_ROOT
  return install_root(dir);
}

bool resolve_device_root(const char* dir, char* out, size_t out_size) {
  if (dir == nullptr || dir[0] == '\0' || out == nullptr || out_size == 0) return false;
  // Taken once, so that later chdir() calls cannot move a relative root, and
  // with every link and "." or ".." resolved, so that "/.", "//" or
  // "/tmp/../.." are seen for what they are.
  char resolved[PATH_MAX];
  if (realpath(dir, resolved) == nullptr) return false;
  if (strcmp(resolved, "/") == 0) return false;
  int n = snprintf(out, out_size, "%s", resolved);
  return n > 0 && static_cast<size_t>(n) < out_size && static_cast<size_t>(n) < sizeof(Root::dir);
}

bool map_path(const char* device_path, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return false;
  out[0] = '\0';
  const char* root = device_root();
  if (root == nullptr || device_path == nullptr || device_path[0] != '/' || climbs(device_path)) return false;
  int n = snprintf(out, out_size, "%s%s", root, device_path);
  if (n < 0 || static_cast<size_t>(n) >= out_size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

int make_parent_dirs(const char* host_path) {
  const char* root = device_root();
  size_t root_len = root == nullptr ? 0 : strlen(root);
  if (root == nullptr || host_path == nullptr || strncmp(host_path, root, root_len) != 0 ||
      host_path[root_len] != '/' || climbs(host_path + root_len)) {
    errno = EXDEV;
    return -1;
  }
  char buf[4096];
  int n = snprintf(buf, sizeof(buf), "%s", host_path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buf)) return -1;
  char* last = strrchr(buf, '/');
  if (last == buf + root_len) return 0;  // a file directly in the root
  *last = '\0';
  // The root exists (it was resolved); only what lies below it is made.
  for (char* p = buf + root_len + 1; *p != '\0'; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
  return 0;
}

}  // namespace platform
