// Tests: plays the kernel's part on the host uevent channel by sending one
// datagram to the socket the program bound at dev/socket/uevent of a device
// root. Sends block for at most two seconds, so a reader that stopped
// draining fails the test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace lumo_test {

// `host_socket` is the socket's host path; paths too long for sun_path are
// reached through a descriptor of their directory.
inline bool send_uevent_to(const std::string& host_socket, const std::string& bytes) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  timeval timeout = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  int dir_fd = -1;
  if (host_socket.size() < sizeof(addr.sun_path)) {
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", host_socket.c_str());
  } else {
    size_t slash = host_socket.rfind('/');
    dir_fd = open(host_socket.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/%s", dir_fd,
             host_socket.c_str() + slash + 1);
  }
  ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                     sizeof(addr));
  if (dir_fd >= 0) close(dir_fd);
  close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

// A uevent as the kernel sends it: NUL-terminated texts, header first.
inline std::string uevent_text(const std::string& header, const std::string& body = "") {
  std::string bytes = header;
  bytes.push_back('\0');
  bytes += body;
  return bytes;
}

}  // namespace lumo_test
