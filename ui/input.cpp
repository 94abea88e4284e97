#include "ui/input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "queue/message_queue.h"
#include "platform/input.h"
#include "platform/log.h"
#include "platform/owned.h"
#include "platform/paths.h"

pollfd input_fds[MAX_INPUT_DEVICES];
int input_fd_count = 0;
std::mutex input_lock;

namespace {

constexpr char kInputDir[] = "/dev/input";
constexpr int kTrackballThreshold = 3;

void open_event_node(const char* name) {
  char device_path[sizeof(kInputDir) + 1 + 256];
  int n = snprintf(device_path, sizeof(device_path), "%s/%s", kInputDir, name);
  int fd = n > 0 && static_cast<size_t>(n) < sizeof(device_path)
               ? platform::input_device_open(device_path)
               : -1;
  if (fd < 0) {
    LOGD(" !! open fail !! ");
    return;
  }
  LOGD(" !! open ok !! ");
  input_fds[input_fd_count].fd = fd;
  input_fds[input_fd_count].events = POLLIN;
  input_fds[input_fd_count].revents = 0;
  ++input_fd_count;
}

// A device that hung up or failed would make poll return at once for ever;
// dropping it keeps the thread asleep. A descriptor poll calls invalid is not
// ours any more and is not closed.
void drop_device(pollfd* entry, bool close_it) {
  if (close_it) platform::input_device_close(entry->fd);
  entry->fd = -1;
  entry->revents = 0;
}

// Reads one record from a ready entry. Returns 0 for a whole record, -1 for
// anything else (the record, or the device, is dropped).
int read_record(pollfd* entry, input_event* event) {
  ssize_t got = read(entry->fd, event, sizeof(*event));
  if (got == static_cast<ssize_t>(sizeof(*event))) return 0;
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) drop_device(entry, true);
  return -1;
}

bool has_live_device() {
  for (int i = 0; i < input_fd_count; ++i) {
    if (input_fds[i].fd >= 0) return true;
  }
  return false;
}

// Scans the entries after a poll; 0 with a record, -1 without one.
int scan_ready(input_event* event) {
  for (int i = 0; i < input_fd_count; ++i) {
    pollfd* entry = &input_fds[i];
    if (entry->fd < 0 || entry->revents == 0) continue;
    if (entry->revents & POLLIN) {
      if (read_record(entry, event) == 0) return 0;
    } else if (entry->revents & (POLLHUP | POLLERR | POLLNVAL)) {
      drop_device(entry, (entry->revents & POLLNVAL) == 0);
    }
  }
  return -1;
}

}  // namespace

int input_open_devices() {
  char host_dir[4096];
  if (!platform::map_path(kInputDir, host_dir, sizeof(host_dir))) return 0;
  platform::UniqueDir dir(opendir(host_dir));
  if (!dir) return 0;
  while (input_fd_count < MAX_INPUT_DEVICES) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    LOGD("/dev/input/%s\n", entry->d_name);
    if (strncmp(entry->d_name, "event", 5) != 0) {
      LOGD(" !! ingore !! ");
      continue;
    }
    open_event_node(entry->d_name);
  }
  return 0;
}

int input_wait_event(input_event* event, int dont_wait) {
  for (;;) {
    if (!dont_wait && !has_live_device()) return -1;
    int ready = poll(input_fds, static_cast<nfds_t>(input_fd_count), dont_wait ? 0 : -1);
    if (ready > 0 && scan_ready(event) == 0) return 0;
    if (ready < 0 && errno != EINTR) return -1;
    if (dont_wait) return -1;
  }
}

int input_handle_event(input_event* event, int* trackball_sum) {
  switch (event->type) {
    case EV_SYN:
      break;
    case EV_REL:
    {
      if (event->code != REL_Y) break;
      // Summed in 64 bits: two large motions must not wrap into the other
      // direction. A kept sum is within the threshold, so it fits again.
      int64_t sum = static_cast<int64_t>(*trackball_sum) + event->value;
      if (sum > kTrackballThreshold || sum < -kTrackballThreshold) {
        event->code = sum > 0 ? KEY_DOWN : KEY_UP;
        event->type = EV_KEY;
        event->value = 1;
        sum = 0;
      }
      *trackball_sum = static_cast<int>(sum);
      break;
    }
    default:
      *trackball_sum = 0;
      break;
  }
  if (event->type != EV_KEY || event->code > INPUT_KEY_MAX) return 0;
  std::lock_guard<std::mutex> lock(input_lock);
  postKeyEvent(event->code, event->value);
  return 1;
}

void input_thread() {
  input_open_devices();
  int trackball_sum = 0;
  input_event event;
  for (;;) {
    if (input_wait_event(&event, 0) != 0) {
      // No device left to wait on: nothing will ever arrive, so sleep for
      // good instead of asking again.
      for (;;) pause();
    }
    input_handle_event(&event, &trackball_sum);
  }
}

void input_reset_for_test() {
  for (int i = 0; i < input_fd_count; ++i) {
    if (input_fds[i].fd >= 0) platform::input_device_close(input_fds[i].fd);
    input_fds[i] = pollfd{-1, 0, 0};
  }
  input_fd_count = 0;
}
