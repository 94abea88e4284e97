#include "ui/display_lock.h"

std::mutex& display_lock() {
  static std::mutex lock;
  return lock;
}
