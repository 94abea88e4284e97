// Input events: the one input thread that turns key presses from the kernel's
// event devices into key messages for the charging controller.
//
// input_thread is started once by ui_start and runs until the process ends;
// it scans "/dev/input" once (input_open_devices), polls every event node it
// opened and posts MSG_KEY_DOWN / MSG_KEY_UP through postKeyEvent for every
// key event (codes up to INPUT_KEY_MAX). Vertical trackball motion becomes
// synthetic KEY_DOWN / KEY_UP presses (value 1, never a release). The controller decides
// what a key means; this module passes every key on.
//
// Only the input thread touches input_fds and input_fd_count after the scan
// (tests drive the functions directly on their own thread). A device that
// reports only hang-up or error, or reaches end of file, is dropped from the
// poll set (its entry's fd becomes -1) so that the thread never spins; with no
// device left it blocks for ever. It never opens a device path except through
// the platform seam.
#pragma once

#include <linux/input.h>
#include <mutex>
#include <poll.h>

constexpr int MAX_INPUT_DEVICES = 16;
// The highest key code passed on. The charging mode's keyboard knows codes up
// to 0x1FF; newer kernel headers define a larger KEY_MAX, which is not used.
constexpr int INPUT_KEY_MAX = 0x1FF;

// The poll set: one entry per opened event node, in directory order. Filled
// once by input_open_devices; entries are never removed, a dropped device
// keeps its slot with fd -1.
extern pollfd input_fds[MAX_INPUT_DEVICES];
extern int input_fd_count;
// Held around each key post.
extern std::mutex input_lock;

// Scans "/dev/input", logging every entry, and opens up to
// MAX_INPUT_DEVICES nodes whose names begin with "event". Always 0.
int input_open_devices();

// Waits for one whole event record from any device. `dont_wait` non-zero
// polls once without waiting. Returns 0 with `event` filled, -1 when no
// record could be read (not waiting, or no device left to wait on).
int input_wait_event(input_event* event, int dont_wait);

// One event through the trackball rule and, when it is (or became) a key
// event with a code up to INPUT_KEY_MAX, posted under input_lock.
// `trackball_sum` is the running REL_Y sum, kept by the caller. Returns 1 when a key message
// was posted, else 0.
int input_handle_event(input_event* event, int* trackball_sum);

// The input thread's body: scan, then wait and handle events for ever. With
// no device it blocks for ever without posting anything.
[[noreturn]] void input_thread();

// Tests only: closes every opened device and empties the poll set.
void input_reset_for_test();
