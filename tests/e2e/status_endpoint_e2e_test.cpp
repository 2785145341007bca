// End to end: the status socket of the real daemon with real test modules
// under a known workload. The counts are exact where the workload fixes
// them; the socket is root's alone; clients that never read or come in a
// burst delay neither routing nor the stop; the socket is gone afterwards.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "module_e2e.h"

using namespace e2e;
using nlohmann::json;

namespace {

const char* const SOCKET_PATH = "/var/run/vantriserver.sock";

int connectTo(const char* path, bool nonBlocking = false) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 && !nonBlocking) {
    close(fd);
    return -1;
  }
  return fd;
}

// One document from the socket, parsed; null when there was none.
json fetch() {
  const int fd = connectTo(SOCKET_PATH);
  if (fd < 0) return json();
  timeval limit = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
  close(fd);
  return json::parse(text, nullptr, false);
}

const json* moduleIn(const json& document, const std::string& file) {
  for (const json& module : document["modules"])
    if (module["file"] == file) return &module;
  return nullptr;
}

// src submits 32 events of 100 bytes to sink and slow, 3 counted events it
// never registered, and one release of a pointer it was never given; sink
// keeps its first 5 payloads until Close; slow sleeps 10 ms in each Write.
void installWorkload(Sandbox& sb) {
  installModule(sb, "src.so",
                "id=0x00200001\n"
                "submit.open=flags=0x2 class=0x10 size=100 repeat=32\n"
                "submit.open=flags=0x1 class=0x01000010 repeat=3\n"
                "submit.open=flags=0x200 size=8\n");
  installModule(sb, "sink.so", "id=0x00200002\nmask1=0x10\nacceptsEvents=1\nkeep.write=1\nkeepMax=5\n");
  installModule(sb, "slow.so", "id=0x00200003\nmask1=0x10\nacceptsEvents=1\nwriteSleepMs=10\n");
}

// The document once slow has had its 32 Writes.
json settledDocument() {
  json document;
  waitUntil(
      [&] {
        document = fetch();
        const json* slow = document.is_object() ? moduleIn(document, "slow.so") : nullptr;
        return slow != nullptr && (*slow)["writes"] == 32 && document["service"]["queueLength"] == 0;
      },
      std::chrono::milliseconds(5000));
  return document;
}

}  // namespace

TEST(StatusEndpoint, CountsAKnownWorkloadExactly) {
  Sandbox sb;
  installWorkload(sb);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  const json document = settledDocument();
  ASSERT_TRUE(document.is_object()) << sb.logDump();
  EXPECT_EQ(1, document["schema"]);
  EXPECT_EQ(daemon, document["pid"]);
  const json* src = moduleIn(document, "src.so");
  const json* sink = moduleIn(document, "sink.so");
  const json* slow = moduleIn(document, "slow.so");
  ASSERT_TRUE(src && sink && slow) << document.dump(2);

  EXPECT_EQ(json({{"EVR_OK", 32}, {"EVR_UNREGISTERED", 3}}), (*src)["submitted"]) << document.dump(2);
  EXPECT_EQ(1, (*src)["releases"]);
  EXPECT_EQ(1, (*src)["foreignReleases"]);
  EXPECT_EQ(32, (*sink)["writes"]);
  EXPECT_EQ(5, (*sink)["keptNow"]);
  EXPECT_EQ(5, (*sink)["keptMost"]);
  EXPECT_GT((*sink)["oldestKeptMs"].get<uint64_t>(), 0u);
  EXPECT_EQ(0, (*slow)["keptNow"]);
  EXPECT_EQ(0, (*src)["writes"]);

  // 32 Writes of 10 ms, in batches short enough that each call is timed.
  const uint64_t busy = (*slow)["busyNs"];
  EXPECT_GE(busy, 32u * 10000000u) << document.dump(2);
  EXPECT_LT(busy, 32u * 10000000u * 3) << document.dump(2);
  EXPECT_GE((*slow)["longestCallNs"].get<uint64_t>(), 10000000u);
  EXPECT_GE(document["service"]["dispatchBusyNs"].get<uint64_t>(), busy);

  const json& service = document["service"];
  EXPECT_EQ(service["eventsAccepted"], service["eventsDelivered"]);
  EXPECT_GE(service["eventsDelivered"].get<uint64_t>(), 32u);
  EXPECT_GE(service["queueHighWater"].get<uint64_t>(), 32u);
  EXPECT_EQ(5u * 100u, service["payloadBytesHeld"].get<uint64_t>());
  EXPECT_EQ(0, service["providersWaiting"]);
  EXPECT_FALSE(service["throttling"].get<bool>());
  stopService(sb, daemon);
}

TEST(StatusEndpoint, IsRootsAloneAndGoneAfterTheStop) {
  Sandbox sb;
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  struct stat info;
  ASSERT_EQ(0, lstat(SOCKET_PATH, &info)) << sb.logDump();
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  EXPECT_EQ(0u, info.st_uid);

  // Another user is refused by the file's mode.
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const int fd = connectTo(SOCKET_PATH);
    _exit(fd < 0 && errno == EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  stopService(sb, daemon);
  EXPECT_NE(0, lstat(SOCKET_PATH, &info));
}

TEST(StatusEndpoint, ClientsThatNeverReadOrComeInABurstDelayNeitherRoutingNorTheStop) {
  rlimit files = {4096, 4096};
  setrlimit(RLIMIT_NOFILE, &files);
  Sandbox sb;
  installWorkload(sb);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  // While the events flow: a thousand clients at once, none of which reads
  // (those past the listen backlog are refused by the kernel, as for any
  // server).
  std::vector<int> clients;
  for (int i = 0; i < 1000; ++i) {
    const int fd = connectTo(SOCKET_PATH, true);
    if (fd >= 0) clients.push_back(fd);
  }
  const json document = settledDocument();
  ASSERT_TRUE(document.is_object()) << sb.logDump();
  EXPECT_EQ(32, (*moduleIn(document, "sink.so"))["writes"]);

  // More of them while the service stops: the stop ends as always.
  for (int i = 0; i < 200; ++i) {
    const int fd = connectTo(SOCKET_PATH, true);
    if (fd >= 0) clients.push_back(fd);
  }
  const StopResult stop = sb.stop(daemon);
  EXPECT_TRUE(stop.done) << stop.describe() << sb.logDump();
  EXPECT_TRUE(stop.exitedNormally()) << stop.describe();
  for (int fd : clients) close(fd);
  EXPECT_EQ(32u, moduleRecords(sb, "slow.so", "WRITE").size());
}
