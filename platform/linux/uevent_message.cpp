#include "platform/linux/uevent_message.h"

#include <cstring>
#include <linux/netlink.h>

namespace platform::kernel {
namespace {

bool sent_by_kernel(const msghdr& message) {
  if (message.msg_name == nullptr || message.msg_namelen < sizeof(sockaddr_nl)) return false;
  sockaddr_nl sender;
  memcpy(&sender, message.msg_name, sizeof(sender));
  return sender.nl_family == AF_NETLINK && sender.nl_pid == 0;
}

// The credentials must be there: a socket without SO_PASSCRED, or a control
// buffer that was cut (MSG_CTRUNC), proves nothing.
bool root_credentials(const msghdr& message) {
  if ((message.msg_flags & MSG_CTRUNC) != 0 || message.msg_control == nullptr) return false;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
    if (c->cmsg_len < CMSG_LEN(sizeof(ucred))) return false;
    ucred cred;
    memcpy(&cred, CMSG_DATA(c), sizeof(cred));
    return cred.uid == 0;
  }
  return false;
}

// "ACTION@DEVPATH" with both parts non-empty, ending at a NUL or the data's end.
bool uevent_header(const char* data, size_t length) {
  const char* end = static_cast<const char*>(memchr(data, '\0', length));
  size_t header = end == nullptr ? length : static_cast<size_t>(end - data);
  const char* at = static_cast<const char*>(memchr(data, '@', header));
  return at != nullptr && at != data && at + 1 < data + header && at[1] == '/';
}

}  // namespace

UeventVerdict check_uevent(const msghdr& message, const char* data, size_t length) {
  if (!sent_by_kernel(message) || !root_credentials(message)) return UeventVerdict::kNotFromKernel;
  if (data == nullptr || length == 0 || !uevent_header(data, length)) return UeventVerdict::kMalformed;
  return UeventVerdict::kAccept;
}

long receive_uevent(int fd, char* buffer, size_t length, UeventVerdict* verdict) {
  sockaddr_nl sender = {};
  alignas(cmsghdr) char control[kUeventControlSize];
  iovec iov = {buffer, length};
  msghdr message = {};
  message.msg_name = &sender;
  message.msg_namelen = sizeof(sender);
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t n = recvmsg(fd, &message, 0);
  if (n < 0) return -1;
  size_t kept = static_cast<size_t>(n) < length ? static_cast<size_t>(n) : length;
  *verdict = check_uevent(message, buffer, kept);
  return static_cast<long>(kept);
}

}  // namespace platform::kernel
