// Checks a message received on the kernel's uevent netlink socket before the
// battery thread sees it. Only the kernel may speak there: a message whose
// sender is not the kernel (netlink port id 0, credentials of root passed
// with SCM_CREDENTIALS) is dropped, so that no other process can fake a
// charger event; so is anything that is not a uevent ("ACTION@DEVPATH"
// first, as the kernel sends; udev's re-broadcasts begin "libudev").
// check_uevent is pure (tests feed it built messages); receive_uevent is the
// one recvmsg the Linux backend's uevent channel makes around it.
#pragma once

#include <cstddef>
#include <sys/socket.h>

namespace platform::kernel {

enum class UeventVerdict {
  kAccept,
  kNotFromKernel,  // no netlink sender, a port id other than 0, or no root credentials
  kMalformed,      // empty, or not "ACTION@DEVPATH" first
};

// `message` is what recvmsg filled in (msg_name: the sender's sockaddr_nl,
// msg_control: the credentials), `data` and `length` the bytes received.
UeventVerdict check_uevent(const msghdr& message, const char* data, size_t length);

// The size of the control buffer that receives the credentials.
constexpr size_t kUeventControlSize = CMSG_SPACE(sizeof(struct ucred));

// Receives one message from the netlink socket `fd` (bound, SO_PASSCRED on)
// into `buffer` (a longer one is cut) and checks it. Returns the bytes kept
// with `*verdict` set, or -1 with errno when recvmsg fails.
long receive_uevent(int fd, char* buffer, size_t length, UeventVerdict* verdict);

}  // namespace platform::kernel
