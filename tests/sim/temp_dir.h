// A temporary folder for one simulator test, removed at the end.
#pragma once

#include <cstdlib>
#include <string>

#include "sim/files.h"

namespace sim_test {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/lumo-sim-test-XXXXXX";
    const char* made = mkdtemp(templ);
    dir_ = made == nullptr ? "" : made;
  }
  ~TempDir() {
    if (!dir_.empty()) sim::remove_tree(dir_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

}  // namespace sim_test
