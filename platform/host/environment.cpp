// The host build's refusal policy: it acts only on a simulated device.
#include "platform/environment.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/host/host.h"

namespace platform {
namespace {

bool resolves_to_slash(const char* dir) {
  char resolved[PATH_MAX];
  return realpath(dir, resolved) != nullptr && resolved[0] == '/' && resolved[1] == '\0';
}

}  // namespace

bool check_environment() {
  const char* root = device_root();
  const char* env = getenv("LUMO_ROOT");
  if (root == nullptr && env != nullptr && env[0] != '\0') {
    // Missing, unresolvable, or the machine's own root: never acted on.
    if (resolves_to_slash(env)) {
      fprintf(stderr, "lumoboot: LUMO_ROOT '%s' resolves to \"/\", the machine's own root; refused.\n", env);
    } else {
      fprintf(stderr, "lumoboot: LUMO_ROOT '%s' is not a directory.\n", env);
    }
    return false;
  }
  if (root == nullptr) {
    fprintf(stderr,
            "lumoboot: LUMO_ROOT is not set. This build runs against a simulated device "
            "root (see README) and never touches the machine it runs on.\n");
    return false;
  }
  struct stat st;
  if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "lumoboot: LUMO_ROOT '%s' is not a directory.\n", root);
    return false;
  }
  return true;
}

}  // namespace platform
