// Status documents, memory state and notices, built with TinyXML and posted
// as the service's own events.
#include "housekeeping/status_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Submits text as the service's own event.
void postCoreEvent(ServiceCore& core, const std::string& text, uint32_t flags, uint32_t eventClass) {
  _EventParmsIn in;
  _EventParmsOut out;
  initCallBlock(&in);
  initCallBlock(&out);
  in.dataSize = static_cast<uint32_t>(text.size());
  in.data = const_cast<char*>(text.data());
  in.sourceId = EVENT_SOURCE_CORE;
  in.flags = flags;
  in.eventClass = eventClass;
  core.submitEvent(&in, &out);
}

}  // namespace

bool readSwitchFile(const char* name, std::string* text) {
  text->clear();
  // Only a regular file is opened: opening a FIFO would block the scheduler.
  struct stat info;
  if (stat(name, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > SWITCH_FILE_MAX_BYTES) return false;
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char buffer[65536];
  while (ok) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    text->append(buffer, static_cast<size_t>(got));
    ok = text->size() <= static_cast<size_t>(SWITCH_FILE_MAX_BYTES);  // it grew since stat
  }
  close(fd);
  if (!ok) text->clear();
  return ok;
}

namespace {

// The character classes of the parser, taken from the same C library calls:
// every byte from 127 up counts as a letter.
bool isSpaceByte(unsigned char c) { return isspace(c) != 0; }
bool isNameStart(unsigned char c) { return c >= 127 || isalpha(c) || c == '_'; }
bool isNameByte(unsigned char c) { return c >= 127 || isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':'; }

const char* skipSpace(const char* p) {
  while (isSpaceByte(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool startsWith(const char* p, const char* prefix) { return strncmp(p, prefix, strlen(prefix)) == 0; }

bool startsWithNoCase(const char* p, const char* prefix) {
  for (; *prefix != 0; ++p, ++prefix)
    if (tolower(static_cast<unsigned char>(*p)) != *prefix) return false;
  return true;
}

// The parser reads UTF-8 text (in attribute values and between tags) a whole
// sequence at a time, by its first byte, and skips the byte-order mark as if
// it were a blank wherever it expects a blank. Either could make it step over
// markup that a byte-wise reading sees, so such text is not handed to it: a
// byte from 0xC0 up not followed by its continuation bytes, or a mark (or one
// of the two non-characters it also skips) anywhere but at the very start.
bool hasAmbiguousBytes(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0xC0) continue;
    const size_t follow = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    for (size_t k = 1; k <= follow; ++k)
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return true;
    if (c == 0xEF && i != 0 && text.compare(i, 3, "\xEF\xBB\xBF") == 0) return true;
    if (c == 0xEF && (text.compare(i, 3, "\xEF\xBF\xBE") == 0 || text.compare(i, 3, "\xEF\xBF\xBF") == 0)) return true;
  }
  return false;
}

// One attribute, name="value" (or unquoted, as the parser tolerates it); the
// position after it, or null where the parser gives up.
const char* skipAttribute(const char* p) {
  if (!isNameStart(static_cast<unsigned char>(*p))) return nullptr;
  while (isNameByte(static_cast<unsigned char>(*p))) ++p;
  p = skipSpace(p);
  if (*p != '=') return nullptr;
  p = skipSpace(p + 1);
  if (*p == '"' || *p == '\'') {
    const char* end = strchr(p + 1, *p);
    return end != nullptr && end[1] != 0 ? end + 1 : nullptr;
  }
  while (*p != 0 && !isSpaceByte(static_cast<unsigned char>(*p)) && *p != '/' && *p != '>') {
    if (*p == '"' || *p == '\'') return nullptr;
    ++p;
  }
  return *p != 0 ? p : nullptr;
}

// "<?xml ...>": only its three known attributes are read as attributes (a
// quoted ">" inside them does not end it); anything else up to a blank or
// ">" is stepped over.
const char* skipDeclaration(const char* p) {
  while (*p != 0) {
    if (*p == '>') return p + 1;
    p = skipSpace(p);
    if (startsWithNoCase(p, "version") || startsWithNoCase(p, "encoding") || startsWithNoCase(p, "standalone")) {
      p = skipAttribute(p);
      if (p == nullptr) return nullptr;
    } else {
      while (*p != 0 && *p != '>' && !isSpaceByte(static_cast<unsigned char>(*p))) ++p;
    }
  }
  return nullptr;
}

}  // namespace

bool isParsableSwitchText(const std::string& text) {
  if (hasAmbiguousBytes(text)) return false;
  // Reads the text the way the parser tokenises it, as far as the parser
  // would get: where the parser would give up, it parses no deeper, and the
  // text is passed. The parser stops at the first NUL as well.
  const char* p = text.c_str();
  if (startsWith(p, "\xEF\xBB\xBF")) p += 3;
  int depth = 0;
  long nodes = 0;
  for (;;) {
    if (depth == 0) {
      p = skipSpace(p);
      if (*p != '<') return true;  // text or the end: the parser stops here
    } else {
      p = strchr(p, '<');
      if (p == nullptr) return true;  // unclosed: the parser gives up
    }
    if (++nodes > SWITCH_FILE_MAX_NODES) return false;
    const char* next = nullptr;
    if (p[1] == '/' && depth > 0) {
      // An end tag; a wrong one ends the parse, so nothing after it counts.
      next = strchr(p, '>');
      --depth;
      if (next != nullptr) ++next;
    } else if (startsWithNoCase(p, "<?xml")) {
      next = skipDeclaration(p + 5);
    } else if (startsWith(p, "<!--")) {
      next = strstr(p + 4, "-->");
      if (next != nullptr) next += 3;
    } else if (startsWith(p, "<![CDATA[")) {
      next = strstr(p + 9, "]]>");
      if (next != nullptr) next += 3;
    } else if (!isNameStart(static_cast<unsigned char>(p[1]))) {
      // Anything else the parser does not know ("<!DOCTYPE", "<?pi", "</" at
      // the top): skipped up to the next ">", quotes or not.
      next = strchr(p, '>');
      if (next != nullptr) ++next;
    } else {
      if (++depth > SWITCH_FILE_MAX_DEPTH) return false;
      p += 1;
      while (isNameByte(static_cast<unsigned char>(*p))) ++p;
      for (;;) {
        p = skipSpace(p);
        if (*p == 0) return true;
        if (*p == '/') {
          if (p[1] != '>') return true;
          --depth;  // empty element
          next = p + 2;
          break;
        }
        if (*p == '>') {
          next = p + 1;
          break;
        }
        if (++nodes > SWITCH_FILE_MAX_NODES) return false;
        p = skipAttribute(p);
        if (p == nullptr) return true;
      }
    }
    if (next == nullptr) return true;
    p = next;
  }
}

namespace {

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
  postCoreEvent(*this, text, flags, EVC_DOCUMENT);
}

void ServiceCore::postNotice(const std::string& text) { postCoreEvent(*this, text, EVF_MASK6, EVC_NOTICE); }

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
  TiXmlDocument document;
  std::string text;
  // The guard and the parser see the same bytes, read once.
  if (readSwitchFile(documentName, &text) && isParsableSwitchText(text) &&
      (document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING), !document.Error())) {
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
