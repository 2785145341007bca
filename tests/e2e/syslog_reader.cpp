// syslog_reader.cpp - the test's system logger on a Unix datagram socket.
#include "syslog_reader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace e2e {
namespace {

// Sent by sync() through the socket itself; it cannot be mistaken for a
// logged line, which always opens with "<digits>".
const std::string syncTag = "<e2e-sync>";

bool allDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool digitAt(const std::string& s, size_t i) {
  return std::isdigit(static_cast<unsigned char>(s[i])) != 0;
}

// "Mmm dd hh:mm:ss " with the day padded by a blank, as glibc writes it.
bool classicTimestamp(const std::string& s) {
  if (s.size() < 16) return false;
  for (size_t i = 0; i < 3; ++i) {
    if (!std::isalpha(static_cast<unsigned char>(s[i]))) return false;
  }
  return s[3] == ' ' && (s[4] == ' ' || digitAt(s, 4)) && digitAt(s, 5) && s[6] == ' ' &&
         digitAt(s, 7) && digitAt(s, 8) && s[9] == ':' && digitAt(s, 10) && digitAt(s, 11) &&
         s[12] == ':' && digitAt(s, 13) && digitAt(s, 14) && s[15] == ' ';
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) throw std::runtime_error("socket path too long: " + path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

}  // namespace

SyslogEntry SyslogEntry::parse(const std::string& datagram) {
  SyslogEntry e;
  e.raw = datagram;
  if (datagram.empty() || datagram[0] != '<') return e;
  size_t close = datagram.find('>');
  if (close == std::string::npos || close > 4) return e;
  std::string pri = datagram.substr(1, close - 1);
  if (!allDigits(pri)) return e;
  std::string rest = datagram.substr(close + 1);
  if (!classicTimestamp(rest)) return e;
  size_t colon = rest.find(": ", 16);
  if (colon == std::string::npos) return e;
  std::string tag = rest.substr(16, colon - 16);
  e.text = rest.substr(colon + 2);
  // A real logger drops one trailing line feed, so a test need not care.
  if (!e.text.empty() && e.text.back() == '\n') e.text.pop_back();
  if (!tag.empty() && tag.back() == ']') {
    size_t open = tag.rfind('[');
    if (open == std::string::npos) return e;
    std::string pid = tag.substr(open + 1, tag.size() - open - 2);
    if (!allDigits(pid)) return e;
    e.pid = static_cast<pid_t>(std::stol(pid));
    e.ident = tag.substr(0, open);
  } else {
    e.ident = tag;
  }
  e.priority = std::stoi(pri);
  e.facility = e.priority / 8;
  e.severity = e.priority % 8;
  e.timestamp = rest.substr(0, 15);
  e.wellFormed = true;
  return e;
}

std::string SyslogEntry::describe() const {
  if (!wellFormed) return "(malformed) " + raw;
  return "<" + std::to_string(priority) + "> " + ident + "[" + std::to_string(pid) + "]: " + text;
}

SyslogMatch textIs(const std::string& text) {
  return [text](const SyslogEntry& e) { return e.wellFormed && e.text == text; };
}

SyslogMatch textIs(const std::string& text, pid_t pid) {
  return [text, pid](const SyslogEntry& e) { return e.wellFormed && e.pid == pid && e.text == text; };
}

SyslogMatch textContains(const std::string& part) {
  return [part](const SyslogEntry& e) { return e.wellFormed && e.text.find(part) != std::string::npos; };
}

SyslogMatch fromPid(pid_t pid) {
  return [pid](const SyslogEntry& e) { return e.wellFormed && e.pid == pid; };
}

SyslogReader::SyslogReader(const std::string& socketPath) : path(socketPath) {
  sockaddr_un addr = addressOf(path);
  unlink(path.c_str());
  sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    close(sock);
    throw std::runtime_error("bind " + path + ": " + std::strerror(err));
  }
  stopFd = eventfd(0, EFD_CLOEXEC);
  if (stopFd < 0) {
    int err = errno;
    close(sock);
    throw std::runtime_error(std::string("eventfd: ") + std::strerror(err));
  }
  reader = std::thread([this] { readLoop(); });
}

SyslogReader::~SyslogReader() {
  uint64_t one = 1;
  if (write(stopFd, &one, sizeof(one)) != sizeof(one)) {
    // Nothing else can wake the thread; it would block the test forever.
    std::terminate();
  }
  reader.join();
  close(stopFd);
  close(sock);
  unlink(path.c_str());
}

void SyslogReader::readLoop() {
  std::vector<char> buffer(65536);
  pollfd fds[2] = {{sock, POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    for (;;) {
      ssize_t n = recv(sock, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      std::string datagram(buffer.data(), static_cast<size_t>(n));
      std::lock_guard<std::mutex> guard(lock);
      if (datagram.compare(0, syncTag.size(), syncTag) == 0) {
        syncsSeen = std::max(syncsSeen, std::stoul(datagram.substr(syncTag.size())));
      } else {
        log.push_back(SyslogEntry::parse(datagram));
      }
      changed.notify_all();
    }
  }
}

void SyslogReader::sync() const {
  unsigned long ticket;
  {
    std::lock_guard<std::mutex> guard(lock);
    ticket = ++syncsSent;
  }
  sockaddr_un addr = addressOf(path);
  int client = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (client < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  std::string marker = syncTag + std::to_string(ticket);
  ssize_t sent = sendto(client, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                        sizeof(addr));
  int err = errno;
  close(client);
  if (sent < 0) throw std::runtime_error("sync: sendto " + path + ": " + std::strerror(err));
  std::unique_lock<std::mutex> guard(lock);
  if (!changed.wait_for(guard, std::chrono::seconds(5), [&] { return syncsSeen >= ticket; })) {
    throw std::runtime_error("sync: the log reader did not see its own marker");
  }
}

std::vector<SyslogEntry> SyslogReader::entries() const {
  sync();
  std::lock_guard<std::mutex> guard(lock);
  return log;
}

size_t SyslogReader::size() const {
  sync();
  std::lock_guard<std::mutex> guard(lock);
  return log.size();
}

std::vector<SyslogEntry> SyslogReader::matching(const SyslogMatch& match, size_t since) const {
  sync();
  std::lock_guard<std::mutex> guard(lock);
  std::vector<SyslogEntry> found;
  for (size_t i = since; i < log.size(); ++i) {
    if (match(log[i])) found.push_back(log[i]);
  }
  return found;
}

size_t SyslogReader::count(const SyslogMatch& match, size_t since) const {
  return matching(match, since).size();
}

std::optional<SyslogEntry> SyslogReader::waitFor(const SyslogMatch& match,
                                                 std::chrono::milliseconds timeout,
                                                 size_t since) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> guard(lock);
  size_t next = since;
  for (;;) {
    for (; next < log.size(); ++next) {
      if (match(log[next])) return log[next];
    }
    if (changed.wait_until(guard, deadline) == std::cv_status::timeout) {
      for (; next < log.size(); ++next) {
        if (match(log[next])) return log[next];
      }
      return std::nullopt;
    }
  }
}

std::string SyslogReader::dump(size_t since) const {
  try {
    sync();
  } catch (const std::exception&) {
    // A failure message is wanted all the same; show what was read.
  }
  std::lock_guard<std::mutex> guard(lock);
  std::string out;
  for (size_t i = since; i < log.size(); ++i) out += "  " + log[i].describe() + "\n";
  return out.empty() ? "  (nothing logged)\n" : out;
}

}  // namespace e2e
