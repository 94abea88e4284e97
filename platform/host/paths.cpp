// Host backend of the device paths: every device path lies under the root.
#include "platform/paths.h"

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
  if (dir == nullptr || dir[0] == '\0') return false;
  // A relative root (LUMO_ROOT=out/phone) is taken from the working directory
  // once, so that later chdir() calls cannot move it.
  char absolute[PATH_MAX];
  if (dir[0] != '/') {
    if (realpath(dir, absolute) == nullptr) return false;
    dir = absolute;
  }
  size_t len = strnlen(dir, sizeof(Root::dir));
  if (len == 0 || len >= sizeof(Root::dir)) return false;
  Root* root = static_cast<Root*>(calloc(1, sizeof(Root)));
  if (root == nullptr) return false;
  memcpy(root->dir, dir, len);
  while (len > 1 && root->dir[len - 1] == '/') root->dir[--len] = '\0';
  std::lock_guard<std::mutex> lock(g_set_mutex);
  root->previous = g_root.load();
  g_root.store(root);
  return true;
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

bool map_path(const char* device_path, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return false;
  out[0] = '\0';
  const char* root = device_root();
  if (root == nullptr || device_path == nullptr || device_path[0] != '/') return false;
  const char* sep = strcmp(root, "/") == 0 ? "" : root;
  int n = snprintf(out, out_size, "%s%s", sep, device_path);
  if (n < 0 || static_cast<size_t>(n) >= out_size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

int make_parent_dirs(const char* host_path) {
  char buf[4096];
  int n = snprintf(buf, sizeof(buf), "%s", host_path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buf)) return -1;
  char* last = strrchr(buf, '/');
  if (last == nullptr || last == buf) return 0;
  *last = '\0';
  for (char* p = buf + 1; *p != '\0'; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
  return 0;
}

}  // namespace platform
