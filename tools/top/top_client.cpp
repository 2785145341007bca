// One connection to the status endpoint: connect, read to EOF, close.
#include "tools/top/top_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "compat/monotonic_clock.h"

namespace top {

const char* const DEFAULT_SOCKET_PATH = "/var/run/vantriserver.sock";

namespace {

// Far above any document a recorder's module table makes; a peer sending
// more is not the service.
const size_t MAX_DOCUMENT_BYTES = 16u << 20;

// Waits for `events` on fd until the deadline; false on a time-out.
bool waitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - monotonicMs();
    if (left <= 0) return false;
    struct pollfd entry = {fd, events, 0};
    const int count = poll(&entry, 1, static_cast<int>(left));
    if (count > 0) return true;
    if (count < 0 && errno != EINTR) return false;
  }
}

FetchResult connectError(int error, const std::string& path, std::string& message) {
  if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
    message = "the service is not running (nothing listens at " + path + ")";
    return FETCH_NOT_RUNNING;
  }
  if (error == EACCES || error == EPERM) {
    message = "permission denied at " + path + "; the service's figures are for root only";
    return FETCH_DENIED;
  }
  message = "cannot connect to " + path + ": " + strerror(error);
  return FETCH_FAILED;
}

}  // namespace

FetchResult fetchDocument(const std::string& path, int timeoutMs, std::string& document, std::string& error) {
  const int64_t deadline = monotonicMs() + timeoutMs;
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    error = "socket path too long: " + path;
    return FETCH_FAILED;
  }
  memcpy(address.sun_path, path.c_str(), path.size());

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("cannot make a socket: ") + strerror(errno);
    return FETCH_FAILED;
  }
  FetchResult result = FETCH_OK;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // A full backlog answers EAGAIN on a Unix socket: wait for room.
    if (errno == EAGAIN || errno == EINPROGRESS) {
      int pending = ETIMEDOUT;
      socklen_t size = sizeof(pending);
      if (waitFor(fd, POLLOUT, deadline)) getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
      if (pending != 0) result = connectError(pending, path, error);
    } else {
      result = connectError(errno, path, error);
    }
  }
  document.clear();
  while (result == FETCH_OK) {
    char buffer[16384];
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got == 0) break;
    if (got > 0) {
      document.append(buffer, static_cast<size_t>(got));
      if (document.size() > MAX_DOCUMENT_BYTES) {
        error = "the answer at " + path + " is too long to be the service's";
        result = FETCH_FAILED;
      }
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      error = std::string("reading from ") + path + " failed: " + strerror(errno);
      result = FETCH_FAILED;
    } else if (!waitFor(fd, POLLIN, deadline)) {
      error = "the service did not answer at " + path + " in time";
      result = FETCH_FAILED;
    }
  }
  close(fd);
  return result;
}

}  // namespace top
