// syslog_reader.h - stands in for the system logger in end-to-end tests: owns
// a Unix datagram socket (normally the sandbox's /dev/log), parses each line
// a process sends there and keeps them all in arrival order. A background
// thread reads the socket, so a logging daemon never blocks on a full queue;
// any test thread may query it.
#ifndef SELVAR_TESTS_E2E_SYSLOG_READER_H
#define SELVAR_TESTS_E2E_SYSLOG_READER_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// One datagram in the classic format `<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT`.
struct SyslogEntry {
  bool wellFormed = false;  // false: only `raw` is meaningful
  int priority = -1;        // facility * 8 + severity
  int facility = -1;
  int severity = -1;
  std::string timestamp;
  std::string ident;
  pid_t pid = -1;  // -1 when the line carries none
  std::string text;
  std::string raw;

  static SyslogEntry parse(const std::string& datagram);
  std::string describe() const;  // for failure messages
};

using SyslogMatch = std::function<bool(const SyslogEntry&)>;

// Common matchers; the pid forms also accept no other process.
SyslogMatch textIs(const std::string& text);
SyslogMatch textIs(const std::string& text, pid_t pid);
SyslogMatch textContains(const std::string& part);
SyslogMatch fromPid(pid_t pid);

class SyslogReader {
 public:
  // Binds a datagram socket at socketPath (replacing whatever is there).
  // Throws std::runtime_error when that fails.
  explicit SyslogReader(const std::string& socketPath = "/dev/log");
  ~SyslogReader();
  SyslogReader(const SyslogReader&) = delete;
  SyslogReader& operator=(const SyslogReader&) = delete;

  // Returns once every datagram sent to the socket before the call has been
  // read. The queries below do it first, so they see all that was logged
  // before they were called, without waiting an arbitrary time.
  void sync() const;

  std::vector<SyslogEntry> entries() const;
  size_t size() const;  // use as a mark for the `since` arguments
  std::vector<SyslogEntry> matching(const SyslogMatch& match, size_t since = 0) const;
  size_t count(const SyslogMatch& match, size_t since = 0) const;

  // Waits until an entry at index >= since matches; returns the first one.
  std::optional<SyslogEntry> waitFor(const SyslogMatch& match, std::chrono::milliseconds timeout,
                                     size_t since = 0) const;

  std::string dump(size_t since = 0) const;  // all entries, one a line

 private:
  void readLoop();

  std::string path;
  int sock = -1;
  int stopFd = -1;
  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::vector<SyslogEntry> log;
  unsigned long syncsSeen = 0;
  mutable unsigned long syncsSent = 0;
  std::thread reader;
};

}  // namespace e2e

#endif
