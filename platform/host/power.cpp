// Host power actions: the request is recorded in dev/reboot and the process
// ends as the phone would go down; nothing acts on the machine.
#include "platform/power.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/host/host.h"
#include "platform/owned.h"
#include "platform/paths.h"

namespace platform {
namespace {

// Appends `line` (cut to keep it under 256 bytes with its newline) to
// dev/reboot, then ends the process unless dev/reboot.refuse exists.
int go_down(const char* line_text) {
  char line[256];
  snprintf(line, sizeof(line), "%s\n", line_text);
  size_t len = strlen(line);
  if (line[len - 1] != '\n') line[len - 1] = '\n';  // a long reason is cut

  char path[4096];
  if (!map_path("/dev/reboot", path, sizeof(path))) {
    errno = EPERM;
    return -1;
  }
  make_parent_dirs(path);
  UniqueFd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd) {
    write_all(fd.get(), line, len);
    fsync(fd.get());
  }
  char refuse[4096];
  if (map_path("/dev/reboot.refuse", refuse, sizeof(refuse)) && access(refuse, F_OK) == 0) {
    errno = EPERM;
    return -1;
  }
  _exit(0);  // the phone goes down: nothing after this runs
}

}  // namespace

int power_off() { return go_down("power_off"); }

int restart(const char* reason) {
  if (reason == nullptr) return go_down("restart");
  char line[256];
  snprintf(line, sizeof(line), "restart %s", reason);
  return go_down(line);
}

void sync_filesystems() {
  const char* root = device_root();
  if (root == nullptr) return;
  UniqueFd fd(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) syncfs(fd.get());
}

}  // namespace platform
