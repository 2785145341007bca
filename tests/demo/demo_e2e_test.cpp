// End to end with the demo modules in the real daemon (each test in its own
// sandbox): the recorder's request reaches the camera, every frame arrives in
// order and is recorded and given back, the stop ends the camera's Read, the
// service stops cleanly during a recording, the monitor logs what the service
// sends, and scripts/demo-report.sh reads the result back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "monitor_log.h"
#include "private_namespace.h"
#include "sandbox.h"

using namespace e2e;

namespace {

const uint32_t cameraId = 0x00510001u;
const uint32_t recorderId = 0x00510002u;
const uint32_t monitorId = 0x00510003u;
const uint32_t statusClass = 0x00001000u;
const uint32_t documentClass = 0x01000010u;
const uint32_t frameMagic = 0x52465653u;
const unsigned frameLimit = 100;
const milliseconds recordingTimeout(20000);

// One line of recorder.log: its first word and its key=value words.
struct RecorderLine {
  std::string kind;
  std::map<std::string, std::string> fields;
  long num(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? -1 : std::stol(it->second, nullptr, 0);
  }
};

std::vector<RecorderLine> parseRecorderLog(const std::string& content) {
  std::vector<RecorderLine> lines;
  std::istringstream in(content.substr(0, content.rfind('\n') + 1));
  std::string text;
  while (std::getline(in, text)) {
    RecorderLine line;
    std::istringstream words(text);
    std::string word;
    words >> line.kind;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) line.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    lines.push_back(line);
  }
  return lines;
}

std::vector<RecorderLine> linesOf(const std::vector<RecorderLine>& lines, const std::string& kind) {
  std::vector<RecorderLine> found;
  for (const RecorderLine& line : lines)
    if (line.kind == kind) found.push_back(line);
  return found;
}

size_t recordedFrames(const std::vector<RecorderLine>& lines) {
  size_t count = 0;
  for (const RecorderLine& line : linesOf(lines, "frame")) count += line.num("recorded") == 1 ? 1 : 0;
  return count;
}

uint32_t word(const std::string& data, size_t offset) {
  uint32_t value;
  std::memcpy(&value, data.data() + offset, sizeof(value));
  return value;
}

// Checks every frame of a recording against what the camera sends: header,
// size and filler. Returns the frame numbers in file order.
std::vector<uint32_t> checkRecording(const std::string& data, std::string& problems) {
  std::vector<uint32_t> numbers;
  size_t offset = 0;
  while (offset < data.size()) {
    if (data.size() - offset < 16) {
      problems += "a partial header at byte " + std::to_string(offset) + "\n";
      break;
    }
    const uint32_t magic = word(data, offset);
    const uint32_t number = word(data, offset + 4);
    const uint32_t size = word(data, offset + 8);
    const uint32_t handle = word(data, offset + 12);
    if (magic != frameMagic || size != 2048u + (number % 7u) * 512u || handle != recorderId ||
        size > data.size() - offset) {
      problems += "a bad header at byte " + std::to_string(offset) + "\n";
      break;
    }
    for (uint32_t i = 16; i < size; ++i) {
      if (static_cast<unsigned char>(data[offset + i]) != static_cast<unsigned char>(number * 131u + i * 7u)) {
        problems += "frame " + std::to_string(number) + ": wrong byte at " + std::to_string(i) + "\n";
        break;
      }
    }
    numbers.push_back(number);
    offset += size;
  }
  return numbers;
}

class DemoRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* module : {"camera.so", "recorder.so", "monitor.so"})
      sb.addPlugin(Sandbox::builtModule(module));
  }

  void start() {
    LaunchResult r = sb.launch();
    ASSERT_TRUE(r.exitedWith(0)) << r.describe() << "\nlog:\n" << sb.logDump();
    ASSERT_GT(r.daemonPid, 1) << sb.logDump();
    daemon = r.daemonPid;
  }

  // Stops the daemon and checks that it went the orderly way: "Done", a
  // normal exit, and no call thread left in a module at unload.
  void stopCleanly() {
    StopResult stop = sb.stop(daemon, SIGTERM, milliseconds(5000));
    ASSERT_TRUE(stop.done) << stop.describe() << "\nlog:\n" << sb.logDump();
    ASSERT_TRUE(stop.exitedNormally()) << stop.describe() << "\nlog:\n" << sb.logDump();
    sb.syslog().sync();
    for (const SyslogEntry& e : sb.syslog().entries()) {
      EXPECT_GT(e.severity, 4) << "the service reported a problem: " << e.describe();
    }
  }

  std::string file(const std::string& name) const { return sb.readFile(sb.binDir() + "/" + name).value_or(""); }
  std::vector<RecorderLine> recorderLog() const { return parseRecorderLog(file("recorder.log")); }
  std::vector<demo::MonitorEntry> monitorLog() const { return demo::parseMonitorLog(file("monitor.log")); }

  bool waitForRecording() {
    return waitUntil(
        [&] {
          auto lines = recorderLog();
          return recordedFrames(lines) == frameLimit && !linesOf(lines, "stop").empty();
        },
        recordingTimeout);
  }

  bool waitForStatusFrom(uint32_t source, milliseconds timeout = milliseconds(5000)) {
    return waitUntil([&] { return !demo::writesFrom(monitorLog(), source, statusClass).empty(); }, timeout);
  }

  Sandbox sb;
  pid_t daemon = -1;
};

TEST_F(DemoRun, RecordsEveryFrameInOrderAndGivesEachBack) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(waitForRecording()) << "recorder.log:\n" << file("recorder.log") << "\nlog:\n" << sb.logDump();
  // The camera reports how its Read ended once its next frame was refused.
  ASSERT_TRUE(waitForStatusFrom(cameraId)) << "monitor.log:\n" << file("monitor.log");
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  const auto lines = recorderLog();
  const auto requests = linesOf(lines, "request");
  ASSERT_EQ(requests.size(), 1u) << file("recorder.log");
  EXPECT_EQ(requests[0].num("result"), 0);

  // Frames 1..100 recorded in order, each given back with EVR_OK; at most
  // one more (admitted before the stop closed the handle) given back unrecorded.
  std::vector<long> recorded;
  std::vector<long> extra;
  for (const RecorderLine& frame : linesOf(lines, "frame")) {
    (frame.num("recorded") == 1 ? recorded : extra).push_back(frame.num("number"));
    EXPECT_EQ(frame.num("release"), 0) << "frame " << frame.num("number");
  }
  ASSERT_EQ(recorded.size(), frameLimit) << file("recorder.log");
  for (size_t i = 0; i < recorded.size(); ++i) EXPECT_EQ(recorded[i], static_cast<long>(i + 1));
  EXPECT_LE(extra.size(), 1u) << file("recorder.log");
  if (!extra.empty()) {
    EXPECT_EQ(extra[0], static_cast<long>(frameLimit + 1));
  }

  const auto stops = linesOf(lines, "stop");
  ASSERT_EQ(stops.size(), 1u) << file("recorder.log");
  EXPECT_EQ(stops[0].fields.at("reason"), "limit");
  EXPECT_EQ(stops[0].num("handle"), static_cast<long>(recorderId));

  const auto summary = linesOf(lines, "summary");
  ASSERT_EQ(summary.size(), 1u) << "no summary: Close did not finish the writer thread\n" << file("recorder.log");
  EXPECT_EQ(summary[0].num("recorded"), static_cast<long>(frameLimit));
  EXPECT_EQ(summary[0].num("kept"), static_cast<long>(frameLimit + extra.size()));
  EXPECT_EQ(summary[0].num("released"), summary[0].num("kept"));
  EXPECT_EQ(summary[0].num("declined"), 0);
  EXPECT_EQ(summary[0].num("outoforder"), 0);
  EXPECT_EQ(summary[0].num("writeerrors"), 0);

  const std::string recording = file("recording.bin");
  std::string problems;
  const std::vector<uint32_t> numbers = checkRecording(recording, problems);
  EXPECT_EQ(problems, "");
  ASSERT_EQ(numbers.size(), frameLimit);
  for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i + 1);
  EXPECT_EQ(static_cast<long>(recording.size()), summary[0].num("bytes"));

  // The camera answered every frame the recorder saw, then was refused
  // (result 1, EVR_HANDLE_REFUSED) and returned from Read.
  const auto cameraLines = demo::writesFrom(monitorLog(), cameraId, statusClass);
  ASSERT_EQ(cameraLines.size(), 1u) << file("monitor.log");
  EXPECT_EQ(cameraLines[0].text, "camera: request 0x00510002 ended after " +
                                     std::to_string(frameLimit + extra.size()) + " frames (result 1)");
}

TEST_F(DemoRun, StopDuringTheRecordingEndsTheCameraAndGivesBackEveryFrame) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(waitUntil([&] { return recordedFrames(recorderLog()) >= 10; }, recordingTimeout))
      << file("recorder.log") << "\nlog:\n" << sb.logDump();
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  const auto lines = recorderLog();
  const auto summary = linesOf(lines, "summary");
  ASSERT_EQ(summary.size(), 1u) << file("recorder.log");
  const long recorded = summary[0].num("recorded");
  EXPECT_GE(recorded, 10);
  EXPECT_LT(recorded, static_cast<long>(frameLimit)) << "the stop came too late to test anything";
  EXPECT_EQ(summary[0].num("released"), summary[0].num("kept"));
  EXPECT_EQ(summary[0].num("outoforder"), 0);
  EXPECT_EQ(summary[0].num("declined"), 0);
  // The recorder closed its request itself on the way out.
  const auto stops = linesOf(lines, "stop");
  ASSERT_EQ(stops.size(), 1u) << file("recorder.log");
  EXPECT_EQ(stops[0].fields.at("reason"), "close");

  std::string problems;
  const std::vector<uint32_t> numbers = checkRecording(file("recording.bin"), problems);
  EXPECT_EQ(problems, "");
  ASSERT_EQ(static_cast<long>(numbers.size()), recorded);
  for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i + 1);
}

TEST_F(DemoRun, MonitorLogsTheServicesDocumentsAndTheModulesStatusLines) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(waitForStatusFrom(recorderId, recordingTimeout)) << file("monitor.log");
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  const auto entries = monitorLog();
  ASSERT_GE(entries.size(), 2u) << file("monitor.log");
  EXPECT_EQ(entries.front().header, "monitor opened");
  EXPECT_EQ(entries.back().header, "monitor closed");

  // The module status document and the saved memory state, both sent to
  // every other module through IOCTL code 2; the payload's exact length.
  const demo::MonitorEntry* status = nullptr;
  const demo::MonitorEntry* saved = nullptr;
  for (const auto& e : entries) {
    if (e.kind != "ioctl") continue;
    EXPECT_EQ(e.field("code"), "2") << e.header;
    EXPECT_EQ(e.number("bytes"), e.text.size()) << e.header;
    if (e.text.find("<Modules>") != std::string::npos) status = &e;
    if (e.text.find("<Memory") != std::string::npos) saved = &e;
  }
  ASSERT_NE(status, nullptr) << file("monitor.log");
  for (const auto& plugin : {std::make_pair("camera.so", cameraId), std::make_pair("recorder.so", recorderId),
                             std::make_pair("monitor.so", monitorId)}) {
    const std::regex listed("<Plugin Filename=\"" + std::string(plugin.first) +
                            "\" Opened=\"1\" OpenCode=\"0\"[^>]* ID=\"" + std::to_string(plugin.second) + "\"");
    EXPECT_TRUE(std::regex_search(status->text, listed)) << plugin.first << " is not listed as opened:\n"
                                                         << status->text;
  }
  ASSERT_NE(saved, nullptr) << file("monitor.log");
  EXPECT_NE(saved->text.find("Throttling=\"1\""), std::string::npos) << saved->text;

  // The memory watch's state, through Write on mask 2.
  const auto memory = demo::writesFrom(entries, 0x80000000u, documentClass);
  ASSERT_FALSE(memory.empty()) << file("monitor.log");
  EXPECT_EQ(memory[0].number("flags"), 0x4u);
  EXPECT_NE(memory[0].text.find("<Memory"), std::string::npos) << memory[0].text;

  const auto recorderLines = demo::writesFrom(entries, recorderId, statusClass);
  ASSERT_EQ(recorderLines.size(), 1u);
  EXPECT_TRUE(std::regex_match(recorderLines[0].text,
                               std::regex("recorder: 100 frames recorded \\(\\d+ bytes\\), stop sent for handle "
                                          "0x00510002")))
      << recorderLines[0].text;

  // Frames travel on mask 3, to which the monitor does not subscribe.
  for (const auto& e : entries) EXPECT_NE(e.field("class"), "0x00000800") << e.header;
}

TEST_F(DemoRun, MonitorSeesTheMemoryWatchSwitchedOffInCoreXml) {
  sb.writeFile(sb.coreXml(), "<?xml ?><Vantri Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></Vantri>");
  ASSERT_NO_FATAL_FAILURE(start());
  // The recording takes seconds: dozens of scheduler passes.
  ASSERT_TRUE(waitForRecording()) << file("recorder.log");
  ASSERT_TRUE(waitForStatusFrom(recorderId)) << file("monitor.log");
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  const auto entries = monitorLog();
  bool savedSeen = false;
  for (const auto& e : entries) {
    if (e.kind == "ioctl" && e.text.find("<Memory") != std::string::npos) {
      savedSeen = true;
      EXPECT_NE(e.text.find("Throttling=\"0\""), std::string::npos) << e.text;
    }
  }
  EXPECT_TRUE(savedSeen) << file("monitor.log");
  EXPECT_TRUE(demo::writesFrom(entries, 0x80000000u, documentClass).empty())
      << "memory state sent with the watch off:\n" << file("monitor.log");
  EXPECT_NE(file("core.xml").find("Throttling=\"0\""), std::string::npos) << file("core.xml");
}

// scripts/demo-report.sh, as run.sh calls it, against a finished recording;
// then against a damaged copy, which it must reject.
TEST_F(DemoRun, ReportScriptChecksTheRecording) {
  std::ifstream source(hostPath(SELVAR_SOURCE_DIR "/scripts/demo-report.sh"), std::ios::binary);
  ASSERT_TRUE(source) << "no scripts/demo-report.sh";
  std::ostringstream script;
  script << source.rdbuf();
  const std::string scriptPath = sb.writeFile("demo-report.sh", script.str());

  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(waitForRecording()) << file("recorder.log");

  ProcessCommand command;
  command.file = "/bin/sh";
  command.argv = {"sh", scriptPath, sb.binDir(), "20"};
  command.env = environmentWithPath(Sandbox::defaultPath());
  command.timeout = milliseconds(30000);
  ProcessResult report = runProcess(command);
  ASSERT_TRUE(report.exitedWith(0)) << report.describe();
  EXPECT_NE(report.out.find("frame numbers 1 to 100, in order"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find(std::to_string(file("recording.bin").size()) + " bytes, 100 frames"), std::string::npos)
      << report.out;
  EXPECT_NE(report.out.find("recorder: 100 frames recorded and released"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("runs as PID " + std::to_string(daemon)), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("kill -TERM"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("monitor opened"), std::string::npos) << "the monitor's log is not shown\n"
                                                                  << report.out;
  ASSERT_NO_FATAL_FAILURE(stopCleanly());

  // Frames 50 and 51 swapped in a copy.
  std::string recording = file("recording.bin");
  size_t offset = 0;
  for (uint32_t n = 1; n < 50; ++n) offset += word(recording, offset + 8);
  const size_t size50 = word(recording, offset + 8);
  const size_t size51 = word(recording, offset + size50 + 8);
  recording = recording.substr(0, offset) + recording.substr(offset + size50, size51) +
              recording.substr(offset, size50) + recording.substr(offset + size50 + size51);
  const std::string copyDir = sb.makeDir("damaged");
  sb.writeFile(copyDir + "/recording.bin", recording);
  sb.writeFile(copyDir + "/recorder.log", file("recorder.log"));
  command.argv = {"sh", scriptPath, copyDir, "1"};
  ProcessResult damaged = runProcess(command);
  EXPECT_TRUE(damaged.exitedWith(1)) << damaged.describe();
  EXPECT_NE(damaged.out.find("frame 50 at byte " + std::to_string(offset) + " is numbered 51"), std::string::npos)
      << damaged.out;
}

}  // namespace
