// status_endpoint.h - the read-only status socket: a Unix stream socket
// beside the PID file that hands each connection one status document and
// closes it. It accepts no command and reads nothing the client sends.
//
// Owned and served by the daemon's main thread from the poll() loop it
// already waits in; nothing here blocks. A client that never reads costs a
// pending entry until its deadline; beyond MAX_PENDING such clients, new
// ones are closed at once; each loop turn accepts a bounded number, so a
// burst of clients cannot hold the loop (and the signals it reads) up.
#ifndef SELVAR_APP_STATUS_ENDPOINT_H
#define SELVAR_APP_STATUS_ENDPOINT_H

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class StatusEndpoint {
 public:
  // describe builds the document; it is called at most once per
  // DOCUMENT_REUSE_MS however many clients connect.
  StatusEndpoint(std::string path, std::function<std::string()> describe);
  ~StatusEndpoint();  // closes every connection and removes the socket
  StatusEndpoint(const StatusEndpoint&) = delete;
  StatusEndpoint& operator=(const StatusEndpoint&) = delete;

  // Makes the socket, mode 0600, replacing a stale socket (never another
  // kind of file). False, with errno set, when it cannot be made.
  bool open();
  const std::string& path() const { return socketPath; }

  // Adds what to wait for to fds (the listener and the pending writes).
  void addTo(std::vector<struct pollfd>& fds) const;
  // Serves what poll() reported in fds[first...] (as addTo added them).
  void serve(const std::vector<struct pollfd>& fds, size_t first, int64_t nowMs);
  // Milliseconds until the next pending connection's deadline; -1: none.
  int64_t timeoutMs(int64_t nowMs) const;

  static const int PENDING_DEADLINE_MS = 1000;
  static const size_t MAX_PENDING = 32;
  static const int ACCEPT_PER_TURN = 64;
  static const int DOCUMENT_REUSE_MS = 100;

 private:
  struct Pending {
    int fd;
    size_t sent;
    int64_t deadline;
    std::string text;
  };
  void acceptClients(int64_t nowMs);
  // Sends what it can; true when the connection is finished (all sent, or
  // failed) and was closed.
  static bool sendSome(Pending& pending);
  const std::string& document(int64_t nowMs);

  std::string socketPath;
  std::function<std::string()> describe;
  int listener = -1;
  std::vector<Pending> pending;
  std::string cached;
  int64_t cachedAt = 0;
};

// Where the daemon's endpoint lives: beside the PID file at pidFile.
std::string statusSocketPath(const char* pidFile);

#endif  // SELVAR_APP_STATUS_ENDPOINT_H
