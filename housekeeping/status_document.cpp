// Status documents, memory state and notices, built with TinyXML and posted
// as the service's own events.
#include "housekeeping/status_document.h"

#include <sys/stat.h>
#include <unistd.h>
#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "core/service_core.h"
#include "pluginhost/call_blocks.h"

extern "C" {
const char* documentName = "core.xml";
}

namespace {

const int32_t CORE_ID = static_cast<int32_t>(EVENT_SOURCE_CORE);

// Durations travel as their low 32 bits.
int lowBits(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }

// A file name goes into a document as UTF-8 whatever the locale says (the
// daemon never sets one, and the C locale converts no byte above 0x7F). A
// character that XML cannot carry at all (a control character other than
// tab, line feed and carriage return; U+FFFE, U+FFFF) becomes U+FFFD, so the
// document stays well-formed; TinyXML escapes the rest.
std::string documentText(const wxString& text) {
  wxString carried;
  for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
    const wxUint32 c = (*it).GetValue();
    const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    carried += allowed ? wxUniChar(c) : wxUniChar(0xFFFD);
  }
  return std::string(carried.utf8_str());
}

void beginDocument(TiXmlDocument& document, const TiXmlElement& root) {
  document.InsertEndChild(TiXmlDeclaration("", "", ""));
  document.InsertEndChild(root);
}

void fillCoreEvent(_EventParmsIn& in, _EventParmsOut& out, const std::string& text) {
  initCallBlock(&in);
  initCallBlock(&out);
  in.dataSize = static_cast<uint32_t>(text.size());
  in.data = const_cast<char*>(text.data());
  in.sourceId = EVENT_SOURCE_CORE;
}

// The saved form is a few hundred bytes. Anything far larger, or nested
// deeper than any real document, is not parsed: the parser recurses once per
// level and slows down with depth, and the scheduler must not stall or crash
// on a damaged file. Such a file reads like an unreadable one.
const off_t SWITCH_FILE_MAX_BYTES = 1 << 20;
const int SWITCH_FILE_MAX_DEPTH = 64;

bool isParsableSwitchFile(const char* name) {
  // Only a regular file: the parser sizes its buffer from the file's length,
  // which a directory or device does not have.
  struct stat info;
  if (stat(name, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > SWITCH_FILE_MAX_BYTES) return false;
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int depth = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '<' && text[i + 1] != '/' && text[i + 1] != '?' && text[i + 1] != '!') {
      if (++depth > SWITCH_FILE_MAX_DEPTH) return false;
    } else if ((text[i] == '<' && text[i + 1] == '/') || (text[i] == '/' && text[i + 1] == '>')) {
      if (depth > 0) --depth;
    }
  }
  return true;
}

// Writes the document to a fresh file beside the switch file and renames it
// over the old one: whatever now has that name (a pipe that would block the
// scheduler, a link to another file) is replaced, never opened. A failure
// leaves the old file and is not reported.
void saveSwitchFile(const TiXmlDocument& document) {
  std::string temporary = std::string(documentName) + ".XXXXXX";
  const int fd = mkstemp(&temporary[0]);
  if (fd < 0) return;
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    close(fd);
    unlink(temporary.c_str());
    return;
  }
  fchmod(fd, 0644);
  const bool written = document.SaveFile(file);
  const bool closed = fclose(file) == 0;
  if (!written || !closed || rename(temporary.c_str(), documentName) != 0) unlink(temporary.c_str());
}

}  // namespace

int ServiceCore::postModuleStatus() {
  char version[100];
  snprintf(version, sizeof(version), "%d.%d.%d.%d", 7, 4, 3, 90110);

  TiXmlElement corePlugin("Plugin");
  corePlugin.SetAttribute("Filename", documentText(executablePath.GetFullName()));
  corePlugin.SetAttribute("Opened", 1);
  corePlugin.SetAttribute("OpenCode", 0);
  corePlugin.SetAttribute("ID", CORE_ID);

  TiXmlElement module("Module");
  module.SetAttribute("Name", "Core");
  module.SetAttribute("Version", version);
  module.SetAttribute("ID", CORE_ID);
  module.InsertEndChild(corePlugin);

  TiXmlElement list("Modules");
  list.InsertEndChild(module);
  TiXmlElement root("Vantri");
  root.SetAttribute("Delta", 0);
  root.InsertEndChild(list);

  TiXmlDocument document;
  beginDocument(document, root);

  TiXmlElement* found = nullptr;
  if (TiXmlElement* vantri = document.FirstChildElement("Vantri"))
    if (TiXmlElement* modulesElement = vantri->FirstChildElement("Modules"))
      found = modulesElement->FirstChildElement("Module");
  if (found == nullptr) {
    document.Clear();
    return 0;
  }

  for (size_t i = 0; i < modules.size(); ++i) {
    const _PlugInInfo& info = modules[i];
    TiXmlElement plugin("Plugin");
    plugin.SetAttribute("Filename", documentText(info.fileName));
    plugin.SetAttribute("Opened", 1);
    plugin.SetAttribute("OpenCode", info.openCode);
    plugin.SetAttribute("LoadTime", lowBits(info.loadTime));
    plugin.SetAttribute("OpenTime", lowBits(info.openTime));
    plugin.SetAttribute("ID", static_cast<int32_t>(info.moduleId()));
    found->InsertEndChild(plugin);
  }
  postDocument(document, EVF_TO_OTHERS);
  return 1;
}

void ServiceCore::postDocument(const TiXmlDocument& document, uint32_t flags) {
  std::string text;
  text << document;
  _EventParmsIn in;
  _EventParmsOut out;
  fillCoreEvent(in, out, text);
  in.flags = flags;
  in.eventClass = EVC_DOCUMENT;
  submitEvent(&in, &out);
}

void ServiceCore::postNotice(const std::string& text) {
  _EventParmsIn in;
  _EventParmsOut out;
  fillCoreEvent(in, out, text);
  in.flags = EVF_MASK6;
  in.eventClass = EVC_NOTICE;
  submitEvent(&in, &out);
}

void ServiceCore::saveMemoryState(int watchOn) {
  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", CORE_ID);
  memory.SetAttribute("Throttling", watchOn);
  TiXmlElement root("Vantri");
  root.SetAttribute("Delta", 0);
  root.InsertEndChild(memory);
  TiXmlDocument document;
  beginDocument(document, root);
  saveSwitchFile(document);
  postDocument(document, EVF_TO_OTHERS);
}

int ServiceCore::loadMemoryWatchSetting() {
  int watchOn = 1;
  TiXmlDocument document(documentName);
  if (isParsableSwitchFile(documentName) && document.LoadFile()) {
    TiXmlHandle root(document.RootElement());
    if (TiXmlElement* memory = root.FirstChildElement("Memory").ToElement()) {
      int value = 0;
      if (memory->QueryIntAttribute("Throttling", &value) == TIXML_SUCCESS && value == 0) watchOn = 0;
    }
  }
  saveMemoryState(watchOn);
  return watchOn;
}

void ServiceCore::postMemoryState(int32_t time) {
  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", CORE_ID);
  memory.SetAttribute("Throttling", throttling.load(std::memory_order_relaxed) ? 1 : 0);
  memory.SetAttribute("Time", time);
  TiXmlElement root("Vantri");
  root.InsertEndChild(memory);
  TiXmlDocument document;
  beginDocument(document, root);
  postDocument(document, EVF_MASK2);
}
