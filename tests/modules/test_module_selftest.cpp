// test_module_selftest.cpp - checks the test module against a fake service.
//
// Loads copies of test_module.so (and its variants) with dlopen, drives the
// entry points the way the service does, and checks both the log lines and
// what the module submits through a fake eventEntry. Needs only the public
// plug-in headers, so the service's own code stays out of these results.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/scoped_lock.h"
#include "events/event_record.h"
#include "pluginhost/plugin_interface.h"
#include "tests/support/module_fixture.h"

using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using namespace std::chrono_literals;

namespace {

// ------------------------------------------------ the fake event entry

struct Submission {
  _EventParmsIn event;
  std::string payload;  // copied at submission; empty for releases
  long tid;
};

pthread_mutex_t g_submitLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<Submission> g_submissions;
// Chooses the result of submission number `index` (from 0); set before Load.
std::function<int32_t(const _EventParmsIn&, size_t)> g_resultFor;

long currentTid() { return static_cast<long>(syscall(SYS_gettid)); }

int32_t fakeEventEntry(const _EventParmsIn* in, _EventParmsOut* out) {
  Submission s{*in, {}, currentTid()};
  if (in->flags != EVF_RELEASE && in->data != nullptr)
    s.payload.assign(static_cast<const char*>(in->data), in->dataSize);
  size_t index;
  {
    ScopedLock lock(&g_submitLock);
    index = g_submissions.size();
    g_submissions.push_back(s);
  }
  out->result = g_resultFor ? g_resultFor(*in, index) : EVR_OK;
  return 0;
}

std::vector<Submission> submissions() {
  ScopedLock lock(&g_submitLock);
  return g_submissions;
}

std::vector<Submission> releases() {
  std::vector<Submission> found;
  for (const Submission& s : submissions())
    if (s.event.flags == EVF_RELEASE) found.push_back(s);
  return found;
}

// ------------------------------------------- a module loaded like the service does

class LoadedModule {
 public:
  explicit LoadedModule(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    const char* names[] = PLUGIN_ENTRY_NAMES;
    for (int i = 0; i < ENTRY_COUNT; ++i)
      entries_[i] = handle_ ? reinterpret_cast<PluginEntryPoint>(dlsym(handle_, names[i])) : nullptr;
  }
  ~LoadedModule() { unmap(); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool mapped() const { return handle_ != nullptr; }
  PluginEntryPoint entry(int index) const { return entries_[index]; }
  void unmap() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
  }

  int32_t load(_LoadParmsOut* out) {
    _LoadParmsIn in{};
    in.size = sizeof in;
    in.version = 3;
    in.eventEntry = fakeEventEntry;
    *out = _LoadParmsOut{};
    out->size = sizeof *out;
    out->version = 1;
    return entries_[ENTRY_LOAD](&in, out);
  }
  int32_t open() { return lifecycle<_OpenParmsIn, _OpenParmsOut>(ENTRY_OPEN); }
  int32_t close() { return lifecycle<_CloseParmsIn, _CloseParmsOut>(ENTRY_CLOSE); }
  int32_t unload() { return lifecycle<_UnloadParmsIn, _UnloadParmsOut>(ENTRY_UNLOAD); }

  int32_t read(uint32_t requestHandle, const std::string& payload) {
    std::string copy = payload;  // the call thread's private copy
    _ReadParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.async = 1;
    in.dataSize = static_cast<uint32_t>(copy.size());
    in.data = copy.empty() ? nullptr : &copy[0];
    in.requestHandle = requestHandle;
    _ReadParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    return entries_[ENTRY_READ](&in, &out);
  }

  // Delivers an event with Write; returns out.keep.
  uint32_t write(_WriteParmsIn in) {
    in.size = sizeof in;
    in.version = 1;
    _WriteParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    entries_[ENTRY_WRITE](&in, &out);
    return out.keep;
  }

  // IOCTL with the block values the service uses; returns out.keep.
  uint32_t ioctl(uint32_t code, void* data, uint32_t dataSize) {
    _IOCTLParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.code = code;
    in.argSize = code == IOCTL_AFTER_LOAD ? 8 : 16;
    in.argVersion = 1;
    in.dataSize = dataSize;
    in.data = data;
    _IOCTLParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    entries_[ENTRY_IOCTL](&in, &out);
    return out.keep;
  }

 private:
  template <typename In, typename Out>
  int32_t lifecycle(int index) {
    In in{};
    in.size = sizeof in;
    in.version = 1;
    Out out{};
    out.size = sizeof out;
    out.version = 1;
    return entries_[index](&in, &out);
  }

  void* handle_;
  PluginEntryPoint entries_[ENTRY_COUNT];
};

_WriteParmsIn delivery(uint32_t sourceId, uint32_t flags, uint32_t eventClass, uint32_t handle, void* data,
                       uint32_t dataSize) {
  _WriteParmsIn in{};
  in.sourceId = sourceId;
  in.flags = flags;
  in.eventClass = eventClass;
  in.requestHandle = handle;
  in.data = data;
  in.dataSize = dataSize;
  return in;
}

uint64_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

class TestModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScopedLock lock(&g_submitLock);
    g_submissions.clear();
    g_resultFor = nullptr;
  }
  void TearDown() override { g_resultFor = nullptr; }

  // Installs name with config, maps it and loads it; the module stays loaded.
  LoadedModule& start(const std::string& name, const ModuleConfig& config,
                      const std::string& module = "test_module.so") {
    layout.install(name, config, module);
    modules.emplace_back(std::make_unique<LoadedModule>(layout.modulePath(name)));
    LoadedModule& m = *modules.back();
    EXPECT_TRUE(m.mapped()) << dlerror();
    if (m.mapped() && m.entry(ENTRY_LOAD) != nullptr) {
      EXPECT_EQ(m.load(&loadOut), 0);
    }
    return m;
  }

  std::vector<ModuleRecord> logOf(const std::string& name, const std::string& kind) {
    return layout.records(name, kind);
  }

  ModuleFixture layout;
  std::vector<std::unique_ptr<LoadedModule>> modules;
  _LoadParmsOut loadOut{};
};

// ------------------------------------------------------------- Load

TEST_F(TestModuleTest, LoadReportsTheConfiguredRegistration) {
  start("a.so", {{"id", "0x00060010"}, {"mask0", "0x1"}, {"mask8", "0x80000000"}, {"ioctlOnLoad", "1"},
                 {"hasReader", "1"}, {"acceptsEvents", "1"}});
  EXPECT_EQ(loadOut.moduleId, 0x00060010u);
  EXPECT_EQ(loadOut.masks[0], 1u);
  EXPECT_EQ(loadOut.masks[8], 0x80000000u);
  for (int k = 1; k < 8; ++k) EXPECT_EQ(loadOut.masks[k], 0u) << k;
  EXPECT_EQ(loadOut.ioctlOnLoad, 1);
  EXPECT_EQ(loadOut.hasReader, 1);
  EXPECT_EQ(loadOut.acceptsEvents, 1);
  EXPECT_EQ(loadOut.error, 0);

  auto init = logOf("a.so", "INIT");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].num("conf"), 1);
  EXPECT_EQ(init[0].str("path"), layout.modulePath("a.so"));
  auto load = logOf("a.so", "LOAD");
  ASSERT_EQ(load.size(), 1u);
  EXPECT_EQ(load[0].num("insize"), static_cast<int64_t>(sizeof(_LoadParmsIn)));
  EXPECT_EQ(load[0].num("inver"), 3);
  EXPECT_EQ(load[0].num("outsize"), 64);
  EXPECT_EQ(load[0].num("outver"), 1);
  EXPECT_EQ(load[0].num("outzero"), 1);
  EXPECT_EQ(load[0].num("entry"), static_cast<int64_t>(reinterpret_cast<uintptr_t>(&fakeEventEntry)));
  EXPECT_EQ(load[0].num("tid"), load[0].num("pid"));  // called on this (main) thread
  EXPECT_EQ(layout.count("a.so", "CONFIGERR"), 0u);
}

TEST_F(TestModuleTest, LoadRefusalAndDefaultsWithoutConfig) {
  layout.install("no.so", {{"loadReturn", "-2"}, {"loadError", "5"}});
  LoadedModule refusing(layout.modulePath("no.so"));
  _LoadParmsOut out{};
  EXPECT_EQ(refusing.load(&out), -2);
  EXPECT_EQ(out.error, 5);
  auto load = logOf("no.so", "LOAD");
  ASSERT_EQ(load.size(), 1u);
  EXPECT_EQ(load[0].num("ret"), -2);
  EXPECT_EQ(load[0].num("error"), 5);

  start("plain.so", {});
  EXPECT_EQ(loadOut.moduleId, 0x00100000u);
  EXPECT_EQ(loadOut.acceptsEvents, 0);
  EXPECT_EQ(layout.records("plain.so", "INIT").at(0).num("conf"), 0);
}

TEST_F(TestModuleTest, ConfigMistakesAreLoggedAndTheRestApplies) {
  layout.installRaw("a.so",
                    "# comment\n"
                    "\n"
                    "  id = 0x42  \n"
                    "bogus=1\n"
                    "mask1=zz\n"
                    "submit.nowhere=text=x\n"
                    "submit.open=colour=red\n"
                    "releaseOn=sometimes\n"
                    "acceptsEvents=1\r\n");
  LoadedModule m(layout.modulePath("a.so"));
  ASSERT_TRUE(m.mapped());
  _LoadParmsOut out{};
  ASSERT_EQ(m.load(&out), 0);
  EXPECT_EQ(out.moduleId, 0x42u);
  EXPECT_EQ(out.acceptsEvents, 1);
  EXPECT_EQ(out.masks[1], 0u);

  auto errors = logOf("a.so", "CONFIGERR");
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0].str("key"), "bogus");
  EXPECT_EQ(errors[0].num("line"), 4);
  EXPECT_EQ(errors[0].str("reason"), "unknown");
  EXPECT_EQ(errors[1].str("key"), "mask1");
  EXPECT_EQ(errors[1].str("reason"), "value");
  EXPECT_EQ(errors[2].str("reason"), "unknown");
  EXPECT_EQ(errors[3].str("key"), "submit.open");
  EXPECT_EQ(errors[3].str("reason"), "recipe");
  EXPECT_EQ(errors[4].str("key"), "releaseOn");
}

// ------------------------------------------------------ submissions

TEST_F(TestModuleTest, SubmitRecipesCarryEveryConfiguredField) {
  g_resultFor = [](const _EventParmsIn&, size_t index) { return index == 1 ? EVR_LIMIT : EVR_OK; };
  LoadedModule& m = start("a.so", {{"id", "0x61"},
                                   {"submit.load", "source=0x77 flags=0x4 class=0x01000010 handle=9 reg=1 "
                                                   "ext=0a0b repeat=2 text=two words\\n"},
                                   {"submit.load", "flags=0x40"},
                                   {"request.open", "handle=0x33 class=5 size=20"}});
  auto subs = submissions();
  ASSERT_EQ(subs.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    const _EventParmsIn& ev = subs[i].event;
    EXPECT_EQ(ev.size, sizeof(_EventParmsIn));
    EXPECT_EQ(ev.version, 1u);
    EXPECT_EQ(ev.sourceId, 0x77u);
    EXPECT_EQ(ev.flags, EVF_MASK2);
    EXPECT_EQ(ev.eventClass, 0x01000010u);
    EXPECT_EQ(ev.requestHandle, 9u);
    EXPECT_EQ(ev.extension[0], 0x0a);
    EXPECT_EQ(ev.extension[1], 0x0b);
    EXPECT_EQ(EVENT_REGISTRATION(&ev), 1);
    EXPECT_EQ(subs[i].payload, "two words\n");
    EXPECT_EQ(subs[i].tid, subs[0].tid);
  }
  // Defaults: own id as source, no payload.
  EXPECT_EQ(subs[2].event.sourceId, 0x61u);
  EXPECT_EQ(subs[2].event.data, nullptr);
  EXPECT_EQ(subs[2].event.dataSize, 0u);

  auto logged = logOf("a.so", "SUBMIT");
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0].str("at"), "load");
  EXPECT_EQ(logged[0].str("text"), "two words\n");
  EXPECT_EQ(logged[0].num("result"), EVR_OK);
  EXPECT_EQ(logged[1].num("rep"), 2);
  EXPECT_EQ(logged[1].num("result"), EVR_LIMIT);
  EXPECT_EQ(logged[2].num("recipe"), 2);

  ASSERT_EQ(m.open(), 0);
  subs = submissions();
  ASSERT_EQ(subs.size(), 4u);
  EXPECT_EQ(subs[3].event.sourceId, 0u);  // the request road
  EXPECT_EQ(subs[3].event.requestHandle, 0x33u);
  EXPECT_EQ(subs[3].payload, selvar_test::framePayload(1, 20));
  auto requests = logOf("a.so", "REQUEST");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].str("at"), "open");
  EXPECT_EQ(requests[0].num("frame"), 1);
}

TEST_F(TestModuleTest, WriteRecipeFiresOnEveryNthMatchingDeliveryUpToMax) {
  LoadedModule& m = start("a.so", {{"submit.write", "every=2 max=2 onSource=0x80000000 handle=cur text=seen"}});
  for (uint32_t i = 1; i <= 6; ++i) {
    m.write(delivery(EVENT_SOURCE_CORE, EVF_MASK6, 2, 0x100 + i, nullptr, 0));
    m.write(delivery(0x55, EVF_MASK6, 2, 0x200 + i, nullptr, 0));  // filtered out
  }
  auto subs = submissions();
  ASSERT_EQ(subs.size(), 2u);
  EXPECT_EQ(subs[0].event.requestHandle, 0x102u);
  EXPECT_EQ(subs[1].event.requestHandle, 0x104u);
  EXPECT_EQ(subs[1].payload, "seen");
}

TEST_F(TestModuleTest, ThreadedRecipeRunsOffTheCallerAndEndsWithClose) {
  LoadedModule& m = start("a.so", {{"submit.open", "thread=1 repeat=100000 gapMs=2 text=tick"}});
  ASSERT_EQ(m.open(), 0);
  ASSERT_TRUE(selvar_test::waitUntil([] { return submissions().size() >= 3; }));
  ASSERT_EQ(m.close(), 0);
  const size_t afterClose = submissions().size();
  EXPECT_LT(afterClose, 100000u);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(submissions().size(), afterClose);
  for (const Submission& s : submissions()) EXPECT_NE(s.tid, currentTid());
  EXPECT_EQ(m.unload(), 0);
}

// ------------------------------------------------------ Write and IOCTL

TEST_F(TestModuleTest, WriteLogsTheDeliveryAsReceived) {
  LoadedModule& m = start("a.so", {{"acceptsEvents", "1"}, {"logMax", "4"}});
  unsigned char binary[] = {0x00, 0xff, 0x10, 0x41, 0x42, 0x43};
  _WriteParmsIn in = delivery(EVENT_SOURCE_CORE, EVF_MASK6, 0x01000002, 0x12, binary, sizeof binary);
  EVENT_REGISTRATION(&in) = 1;
  in.extension[100] = 0x5a;
  EXPECT_EQ(m.write(in), 0u);
  char text[] = "a b%c";
  m.write(delivery(7, EVF_MASK2, 0x01000010, 0, text, 5));

  auto writes = logOf("a.so", "WRITE");
  ASSERT_EQ(writes.size(), 2u);
  const ModuleRecord& w = writes[0];
  EXPECT_EQ(w.num("n"), 1);
  EXPECT_EQ(w.num("insize"), static_cast<int64_t>(sizeof(_WriteParmsIn)));
  EXPECT_EQ(w.u32("source"), EVENT_SOURCE_CORE);
  EXPECT_EQ(w.u32("flags"), EVF_MASK6);
  EXPECT_EQ(w.u32("class"), 0x01000002u);
  EXPECT_EQ(w.u32("handle"), 0x12u);
  EXPECT_EQ(w.num("size"), 6);
  EXPECT_EQ(static_cast<uint64_t>(w.num("ptr")), address(binary));
  EXPECT_EQ(w.str("hex"), "00ff1041");  // logMax bytes only
  EXPECT_EQ(w.num("cut"), 1);
  EXPECT_EQ(w.u32("sum"), selvar_test::payloadSum(binary, sizeof binary));
  EXPECT_EQ(w.num("reg"), 1);
  EXPECT_EQ(w.str("ext").size(), 101u * 2);
  EXPECT_EQ(w.str("ext").substr(200), "5a");
  EXPECT_EQ(w.num("outzero"), 1);
  EXPECT_EQ(w.num("keep"), 0);
  EXPECT_EQ(w.num("tid"), currentTid());
  EXPECT_EQ(writes[1].str("text"), "a b%");
  EXPECT_FALSE(writes[1].has("hex"));
}

TEST_F(TestModuleTest, KeptPayloadIsReleasedByTimerWithItsPointer) {
  LoadedModule& m = start("a.so", {{"id", "0x61"}, {"keep", "1"}, {"releaseAfterMs", "40"}});
  char payload[] = "frame";
  const auto kept = std::chrono::steady_clock::now();
  EXPECT_EQ(m.write(delivery(EVENT_SOURCE_CORE, EVF_MASK2, 1, 0, payload, 5)), 1u);
  EXPECT_TRUE(releases().empty());
  ASSERT_TRUE(selvar_test::waitUntil([] { return !releases().empty(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - kept, 40ms);
  const Submission r = releases().at(0);
  EXPECT_EQ(r.event.flags, EVF_RELEASE);
  EXPECT_EQ(r.event.data, static_cast<void*>(payload));
  EXPECT_EQ(r.event.sourceId, 0x61u);
  EXPECT_EQ(r.event.dataSize, 5u);
  EXPECT_NE(r.tid, currentTid());
  ASSERT_TRUE(layout.waitForRecords("a.so", "RELEASE", 1));
  auto logged = logOf("a.so", "RELEASE");
  EXPECT_EQ(static_cast<uint64_t>(logged[0].num("ptr")), address(payload));
  EXPECT_EQ(logged[0].str("when"), "timer");
  EXPECT_EQ(logged[0].num("result"), 0);
  EXPECT_EQ(logged[0].num("intact"), 1);

  EXPECT_EQ(m.close(), 0);
  EXPECT_EQ(m.unload(), 0);
  EXPECT_EQ(releases().size(), 1u);
}

TEST_F(TestModuleTest, CloseReleasesWhatKeepMaxAllowedToKeep) {
  LoadedModule& m = start("a.so", {{"keep", "1"}, {"keepMax", "2"}});
  char first[] = "one", second[] = "<doc/>", third[] = "three";
  EXPECT_EQ(m.write(delivery(1, EVF_MASK2, 1, 0, first, 3)), 1u);
  EXPECT_EQ(m.ioctl(IOCTL_EVENT_OTHERS, second, 6), 1u);
  EXPECT_EQ(m.write(delivery(1, EVF_MASK2, 1, 0, third, 5)), 0u);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(releases().empty());
  first[0] = 'O';  // a kept payload changed behind its holder's back

  EXPECT_EQ(m.close(), 0);
  std::set<void*> released;
  for (const Submission& r : releases()) released.insert(r.event.data);
  EXPECT_EQ(released, (std::set<void*>{first, second}));
  auto close = logOf("a.so", "CLOSE");
  ASSERT_EQ(close.size(), 1u);
  EXPECT_EQ(close[0].num("held"), 2);
  for (const ModuleRecord& r : logOf("a.so", "RELEASE")) {
    EXPECT_EQ(r.str("when"), "close");
    EXPECT_EQ(r.num("intact"), static_cast<uint64_t>(r.num("ptr")) == address(first) ? 0 : 1);
  }
  EXPECT_EQ(m.unload(), 0);
  EXPECT_EQ(releases().size(), 2u);
}

TEST_F(TestModuleTest, NeverReleasedPayloadsStayHeldPastUnload) {
  LoadedModule& m = start("a.so", {{"keep.write", "1"}, {"releaseOn", "never"}});
  char payload[] = "x";
  EXPECT_EQ(m.write(delivery(1, EVF_MASK2, 1, 0, payload, 1)), 1u);
  EXPECT_EQ(m.ioctl(IOCTL_EVENT_ALL, payload, 1), 0u);  // keep.ioctl stays 0
  EXPECT_EQ(m.close(), 0);
  EXPECT_EQ(m.unload(), 0);
  EXPECT_TRUE(releases().empty());
  EXPECT_EQ(logOf("a.so", "UNLOAD").at(0).num("held"), 1);
}

TEST_F(TestModuleTest, IoctlCallsAreLoggedPerCode) {
  LoadedModule& m = start("a.so", {{"ioctlOnLoad", "1"}, {"keep.ioctl", "1"}, {"submit.ioctl1", "text=ready"}});
  m.ioctl(IOCTL_AFTER_LOAD, nullptr, 0);
  char xml[] = "<status>\n</status>";
  EXPECT_EQ(m.ioctl(IOCTL_EVENT_ALL, xml, 18), 1u);

  auto calls = logOf("a.so", "IOCTL");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].num("code"), IOCTL_AFTER_LOAD);
  EXPECT_EQ(calls[0].num("argSize"), 8);
  EXPECT_EQ(calls[0].num("argVersion"), 1);
  EXPECT_EQ(calls[0].num("ptr"), 0);
  EXPECT_EQ(calls[0].num("keep"), 0);
  EXPECT_EQ(calls[1].num("code"), IOCTL_EVENT_ALL);
  EXPECT_EQ(calls[1].num("argSize"), 16);
  EXPECT_EQ(calls[1].str("text"), "<status>\n</status>");
  EXPECT_EQ(calls[1].num("keep"), 1);
  auto subs = submissions();
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_EQ(subs[0].payload, "ready");
  EXPECT_EQ(logOf("a.so", "SUBMIT").at(0).str("at"), "ioctl1");
}

// ------------------------------------------------------ provider / requester

TEST_F(TestModuleTest, ProviderSendsCountedAnswersWithTheRequestHandle) {
  LoadedModule& m = start("a.so", {{"id", "0x70"}, {"hasReader", "1"}, {"provide", "1"}, {"provide.count", "3"},
                                   {"provide.size", "40"}, {"provide.flags", "0x2"}, {"provide.class", "0x300"}});
  EXPECT_EQ(m.read(0x44, "want"), 0);
  auto subs = submissions();
  ASSERT_EQ(subs.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(subs[i].event.sourceId, 0x70u);
    EXPECT_EQ(subs[i].event.requestHandle, 0x44u);
    EXPECT_EQ(subs[i].event.flags, EVF_MASK1);
    EXPECT_EQ(subs[i].event.eventClass, 0x300u);
    EXPECT_EQ(subs[i].payload, selvar_test::framePayload(i + 1, 40));
  }
  auto read = logOf("a.so", "READ");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].u32("handle"), 0x44u);
  EXPECT_EQ(read[0].str("text"), "want");
  EXPECT_EQ(read[0].num("async"), 1);
  auto answers = logOf("a.so", "ANSWER");
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[2].num("seq"), 3);
  EXPECT_EQ(answers[2].u32("sum"), selvar_test::payloadSum(subs[2].payload.data(), 40));
  auto end = logOf("a.so", "READEND");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0].num("answers"), 3);
  EXPECT_EQ(end[0].str("reason"), "count");
}

TEST_F(TestModuleTest, ProviderStopsAtTheFirstRefusedAnswer) {
  g_resultFor = [](const _EventParmsIn&, size_t index) { return index >= 4 ? EVR_HANDLE_REFUSED : EVR_OK; };
  LoadedModule& m = start("a.so", {{"hasReader", "1"}, {"provide", "1"}});
  EXPECT_EQ(m.read(0, ""), 0);  // the start-up call: nothing to answer
  EXPECT_EQ(m.read(0x45, ""), 0);
  EXPECT_EQ(submissions().size(), 5u);
  auto end = logOf("a.so", "READEND");
  ASSERT_EQ(end.size(), 2u);
  EXPECT_EQ(end[0].str("reason"), "none");
  EXPECT_EQ(end[1].num("answers"), 4);
  EXPECT_EQ(end[1].num("sent"), 5);
  EXPECT_EQ(end[1].str("reason"), "refused");
  EXPECT_EQ(logOf("a.so", "ANSWER").back().num("result"), EVR_HANDLE_REFUSED);
}

TEST_F(TestModuleTest, ProviderLoopEndsWhenCloseBegins) {
  LoadedModule& m = start("a.so", {{"hasReader", "1"}, {"provide", "1"}, {"provide.intervalMs", "5"}});
  std::thread reader([&] { m.read(0x46, ""); });
  const bool answering = selvar_test::waitUntil([] { return submissions().size() >= 2; });
  m.close();
  reader.join();
  ASSERT_TRUE(answering);
  auto end = logOf("a.so", "READEND");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0].str("reason"), "closing");
  EXPECT_NE(end[0].num("tid"), currentTid());
}

TEST_F(TestModuleTest, RequesterStopsOnceAfterTheConfiguredAnswers) {
  LoadedModule& m = start("a.so", {{"acceptsEvents", "1"}, {"stop.afterAnswers", "2"}});
  char frame[] = "f";
  m.write(delivery(0x70, EVF_MASK1, 0x300, 0x44, frame, 1));
  m.write(delivery(0x70, EVF_MASK1, 0x300, 0x45, frame, 1));  // another request
  EXPECT_TRUE(submissions().empty());
  m.write(delivery(0x70, EVF_MASK1, 0x300, 0x44, frame, 1));
  m.write(delivery(0x70, EVF_MASK1, 0x300, 0x44, frame, 1));
  auto subs = submissions();
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_EQ(subs[0].event.sourceId, 0u);
  EXPECT_EQ(subs[0].event.flags, EVF_STOP);
  EXPECT_EQ(subs[0].event.requestHandle, 0x44u);
  auto stops = logOf("a.so", "STOP");
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].num("answers"), 2);
}

// ------------------------------------------------------ instances and variants

TEST_F(TestModuleTest, CopiesAreSeparateInstancesWithTheirOwnFiles) {
  start("a.so", {{"id", "0xa"}});
  const uint32_t idA = loadOut.moduleId;
  start("b.so", {{"id", "0xb"}});
  EXPECT_EQ(idA, 0xau);
  EXPECT_EQ(loadOut.moduleId, 0xbu);
  ASSERT_EQ(logOf("a.so", "LOAD").size(), 1u);
  ASSERT_EQ(logOf("b.so", "LOAD").size(), 1u);
  EXPECT_EQ(logOf("a.so", "LOAD")[0].u32("id"), 0xau);
  EXPECT_EQ(logOf("b.so", "INIT")[0].str("path"), layout.modulePath("b.so"));
}

TEST_F(TestModuleTest, VariantsExportOnlyTheirEntryPoints) {
  layout.install("noload.so", {}, "no_load_module.so");
  {
    LoadedModule m(layout.modulePath("noload.so"));
    ASSERT_TRUE(m.mapped());
    EXPECT_EQ(m.entry(ENTRY_LOAD), nullptr);
    EXPECT_NE(m.entry(ENTRY_OPEN), nullptr);
    EXPECT_NE(m.entry(ENTRY_CLOSE), nullptr);
    EXPECT_EQ(m.entry(ENTRY_WRITE), nullptr);
  }
  auto log = layout.log("noload.so");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].kind, "INIT");
  EXPECT_EQ(log[1].kind, "FINI");

  LoadedModule& only = start("only.so", {{"id", "0x5"}}, "load_only_module.so");
  EXPECT_EQ(loadOut.moduleId, 0x5u);
  for (int i = 1; i < ENTRY_COUNT; ++i) EXPECT_EQ(only.entry(i), nullptr) << i;
}

// ------------------------------------------------------ the log parser

TEST(ModuleLogParserTest, KeepsCompleteLinesAndDecodesValues) {
  auto records = selvar_test::parseModuleLog("A t=1 text=a%20b%25 v=-3\nB h=0x1F\nC partial=1");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].kind, "A");
  EXPECT_EQ(records[0].str("text"), "a b%");
  EXPECT_EQ(records[0].num("v"), -3);
  EXPECT_EQ(records[1].num("h"), 0x1f);
  EXPECT_THROW(records[1].num("missing"), std::out_of_range);
  EXPECT_THROW(records[0].num("text"), std::invalid_argument);
  ModuleFixture layout;
  EXPECT_FALSE(layout.waitForRecords("none.so", "LOAD", 1, 20ms));
}

}  // namespace
