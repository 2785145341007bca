// fuzz_core_xml - arbitrary bytes as core.xml, read by the service's own
// ServiceCore::loadMemoryWatchSetting.
//
// The core is constructed but not started; it has an event trigger, so the
// memory-state document it posts is queued, checked and freed on every input.
// Checked: the switch read is 0 or 1; the file is rewritten as a document
// that parses, whose Memory element carries that value; exactly one document
// is posted and it carries the same value. And the guard against the parser:
// no text it lets through is parsed into elements nested deeper than it
// allows (the parser recurses once per level, on the scheduler's stack).
#include <stdlib.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>
#include <wx/filename.h>
#include <wx/init.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "housekeeping/status_document.h"

namespace fs = std::filesystem;

namespace {

ServiceCore* g_core = nullptr;
std::string g_dir;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "fuzz_core_xml: %s\n", what.c_str());
  abort();
}

// The Throttling value of <Vantri><Memory>, or -1 when there is none.
int throttlingOf(TiXmlDocument& document) {
  TiXmlElement* root = document.RootElement();
  if (root == nullptr || root->ValueStr() != "Vantri") return -1;
  TiXmlElement* memory = root->FirstChildElement("Memory");
  int value = -1;
  if (memory == nullptr || memory->QueryIntAttribute("Throttling", &value) != TIXML_SUCCESS) return -1;
  return value;
}

// The deepest element nesting of a parsed document, counted without recursion.
int elementDepth(const TiXmlDocument& document) {
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> pending = {{&document, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > deepest) deepest = depth;
    for (const TiXmlElement* child = node->FirstChildElement(); child != nullptr; child = child->NextSiblingElement())
      pending.emplace_back(child, depth + 1);
  }
  return deepest;
}

std::vector<std::string> takeQueuedPayloads() {
  std::vector<std::string> payloads;
  ScopedLock lock(&g_core->queueMutex);
  while (!g_core->eventQueue.empty()) {
    _EventParmsIn event = g_core->eventQueue.front();
    g_core->eventQueue.pop();
    payloads.emplace_back(static_cast<const char*>(event.data), event.dataSize);
    free(event.data);
  }
  return payloads;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  new wxInitializer();  // kept for the whole run
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "selvar-fuzz-xml-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp failed");
  g_dir = pattern;
  if (chdir(g_dir.c_str()) != 0) fail("chdir failed");
  g_core = new ServiceCore(wxFileName(wxString(g_dir + "/Selvar")));
  {
    ScopedLock lock(&g_core->queueMutex);
    g_core->eventTrigger = new pt::trigger(true, false);
  }
  atexit([] {
    std::error_code ignored;
    fs::remove_all(g_dir, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (isParsableSwitchText(text)) {
    TiXmlDocument parsed;
    parsed.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (elementDepth(parsed) > SWITCH_FILE_MAX_DEPTH)
      fail("the guard passed a text the parser nests " + std::to_string(elementDepth(parsed)) + " deep");
  }
  {
    std::ofstream out(documentName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) fail("cannot write core.xml");
  }
  const int watchOn = g_core->loadMemoryWatchSetting();
  if (watchOn != 0 && watchOn != 1) fail("loadMemoryWatchSetting returned " + std::to_string(watchOn));

  TiXmlDocument rewritten;
  if (!rewritten.LoadFile(documentName)) fail(std::string("the rewritten core.xml does not parse: ") + rewritten.ErrorDesc());
  if (throttlingOf(rewritten) != watchOn) fail("the rewritten core.xml does not carry the value read");

  const std::vector<std::string> posted = takeQueuedPayloads();
  if (posted.size() != 1) fail("posted " + std::to_string(posted.size()) + " documents, not 1");
  TiXmlDocument document;
  document.Parse(posted[0].c_str());
  if (document.Error()) fail("the posted document does not parse");
  if (throttlingOf(document) != watchOn) fail("the posted document does not carry the value read");
  return 0;
}
