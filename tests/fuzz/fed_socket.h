#pragma once

// One end of a UNIX socket pair, the whole input already written into the
// other end and that end's writing shut: a reader meets the input, then its
// end, as it would a peer that said all this and stopped.

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace test_support {

class fed_socket {
 public:
  fed_socket(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    ours_ = fds[0];
    theirs_ = fds[1];
    // The whole input waits in the socket: make room for the largest.
    const int room = 1 << 20;
    ::setsockopt(theirs_, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::setsockopt(ours_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    for (std::size_t written = 0; written < size;) {
      const auto n = ::write(theirs_, data + written, size - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    ::shutdown(theirs_, SHUT_WR);
  }
  ~fed_socket() {
    for (const int fd : {ours_, theirs_})
      if (fd >= 0) ::close(fd);
  }
  fed_socket(const fed_socket&) = delete;
  fed_socket& operator=(const fed_socket&) = delete;

  // The reading end, for a socket object to own; -1 when none could be made.
  int release() noexcept { return std::exchange(ours_, -1); }

 private:
  int ours_ = -1, theirs_ = -1;
};

}  // namespace test_support
