// The legacy hardware library: wake locks, screen power, vibrator and the
// kernel's uevent channel. Results are returned as the library returns them;
// the program does not look at most of them.
//
// Backends: platform/host/hardware.cpp (files and a datagram socket under the
// device root); platform/linux/hardware.cpp puts the kernel's netlink socket and the real
// sysfs files behind the same calls. All calls are safe from several threads.
#pragma once

namespace platform {

constexpr int kPartialWakeLock = 1;

int acquire_wake_lock(int lock, const char* id);
int release_wake_lock(const char* id);
int set_screen_state(int on);
int vibrator_on(int timeout_ms);

// Opens the uevent channel for this process. Returns 1 on success, 0 on
// failure (as the platform library does). Opening it again (tests, a new
// device root) moves the channel to the new socket.
int uevent_init();

// Blocks until the next uevent and copies at most `buffer_length` bytes of it
// into `buffer` (a longer uevent is cut; the rest of it is dropped, and no
// terminating NUL is added). Returns the number of bytes copied, 0 when
// nothing was received (an empty uevent, a signal, or an error, after which
// it pauses briefly so that a caller looping on it does not spin). Without an
// open channel, or given no buffer, it blocks like a kernel that sends
// nothing. Only one thread is to wait on the channel at a time.
int uevent_next_event(char* buffer, int buffer_length);

}  // namespace platform
