// The status socket: accept, send one document, close; every step
// non-blocking and bounded in time.
#include "app/status_endpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const char SOCKET_NAME[] = "vantriserver.sock";

bool fillAddress(const std::string& path, struct sockaddr_un& address) {
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(address.sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

std::string statusSocketPath(const char* pidFile) {
  const std::string pid = pidFile != nullptr ? pidFile : "/var/run/x.pid";
  const size_t slash = pid.rfind('/');
  return (slash == std::string::npos ? std::string(".") : pid.substr(0, slash)) + "/" + SOCKET_NAME;
}

StatusEndpoint::StatusEndpoint(std::string path, std::function<std::string()> describe_)
    : socketPath(std::move(path)), describe(std::move(describe_)) {}

StatusEndpoint::~StatusEndpoint() {
  for (Pending& p : pending) close(p.fd);
  if (listener >= 0) {
    close(listener);
    unlink(socketPath.c_str());
  }
}

bool StatusEndpoint::open() {
  struct stat info;
  if (lstat(socketPath.c_str(), &info) == 0) {
    // Left by a daemon that was killed; anything else there is not ours.
    if (!S_ISSOCK(info.st_mode)) {
      errno = EEXIST;
      return false;
    }
    unlink(socketPath.c_str());
  }
  // Bound in a directory only this process may enter, made 0600 there, then
  // moved into place: no moment exists at which another user could connect,
  // and the process-wide umask is left alone while module threads run.
  const size_t slash = socketPath.rfind('/');
  std::string dir = (slash == std::string::npos ? std::string(".") : socketPath.substr(0, slash)) +
                    "/.vantriserver-sock.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) return false;
  const std::string staging = dir + "/" + SOCKET_NAME;
  struct sockaddr_un address;
  bool made = false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0 && fillAddress(staging, address) &&
      bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
    made = chmod(staging.c_str(), 0600) == 0 && listen(fd, 128) == 0 && fillAddress(socketPath, address) &&
           rename(staging.c_str(), socketPath.c_str()) == 0;
  }
  const int error = errno;
  if (!made) {
    if (fd >= 0) close(fd);
    unlink(staging.c_str());
    fd = -1;
  }
  rmdir(dir.c_str());
  errno = error;
  listener = fd;
  return made;
}

void StatusEndpoint::addTo(std::vector<struct pollfd>& fds) const {
  if (listener < 0) return;
  fds.push_back({listener, POLLIN, 0});
  for (const Pending& p : pending) fds.push_back({p.fd, POLLOUT, 0});
}

const std::string& StatusEndpoint::document(int64_t nowMs) {
  if (cached.empty() || nowMs - cachedAt >= DOCUMENT_REUSE_MS) {
    cached = describe();
    cachedAt = nowMs;
  }
  return cached;
}

bool StatusEndpoint::sendSome(Pending& p) {
  while (p.sent < p.text.size()) {
    const ssize_t n = send(p.fd, p.text.data() + p.sent, p.text.size() - p.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    break;  // the client went away: nothing more to do for it
  }
  close(p.fd);
  return true;
}

void StatusEndpoint::acceptClients(int64_t nowMs) {
  for (int i = 0; i < ACCEPT_PER_TURN; ++i) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: nobody else waits; anything else: next turn
    Pending p = {fd, 0, nowMs + PENDING_DEADLINE_MS, document(nowMs)};
    if (sendSome(p)) continue;
    if (pending.size() < MAX_PENDING)
      pending.push_back(std::move(p));
    else
      close(fd);  // too many slow readers already: this one gets nothing
  }
}

void StatusEndpoint::serve(const std::vector<struct pollfd>& fds, size_t first, int64_t nowMs) {
  if (listener < 0 || first >= fds.size()) return;
  // The pending writes first, as addTo listed them, before accepting adds more.
  const size_t listed = std::min(pending.size(), fds.size() - first - 1);
  std::vector<Pending> still;
  for (size_t i = 0; i < pending.size(); ++i) {
    Pending& p = pending[i];
    const bool ready = i < listed && fds[first + 1 + i].revents != 0;
    if (ready && sendSome(p)) continue;
    if (nowMs >= p.deadline) {
      close(p.fd);  // never read in time: dropped
      continue;
    }
    still.push_back(std::move(p));
  }
  pending.swap(still);
  if ((fds[first].revents & POLLIN) != 0) acceptClients(nowMs);
}

int64_t StatusEndpoint::timeoutMs(int64_t nowMs) const {
  int64_t soonest = -1;
  for (const Pending& p : pending) {
    const int64_t left = p.deadline > nowMs ? p.deadline - nowMs : 0;
    if (soonest < 0 || left < soonest) soonest = left;
  }
  return soonest;
}
