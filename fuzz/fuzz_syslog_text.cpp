// fuzz_syslog_text - arbitrary text at arbitrary levels through the daemon's
// log target, wxLogSyslog.
//
// The input picks a level (any value, user levels included), a way to turn
// its bytes into a message (UTF-8, the file-name conversion module names take,
// Latin-1, or raw wide characters) and the way in: DoLogRecord,
// DoLogTextAtLevel, DoLogText, or the framework's wxLog::OnLog with the
// target active. syslog() is replaced here by a recorder, so the run never
// reaches the system logger; the recorder formats what it was given exactly
// as syslog would. Checked for every message:
//   - one entry per message (the framework may filter a level on OnLog);
//   - the format is "%s" and the text is handed over as data: a message full
//     of conversions ("%n%s%s%s") formats to itself;
//   - the priority is a plain severity 0..7, the one the level table gives,
//     and the same whichever way the message came in;
//   - the text is the message in UTF-8: decoded again it is the message (up
//     to a NUL, where the C string ends).
#include <stdarg.h>
#include <syslog.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/strconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/log_syslog.h"

namespace {

struct Recorded {
  int calls = 0;
  int priority = -1;
  bool nullText = false;
  std::string format;
  std::string text;       // the %s argument
  std::string formatted;  // format and argument, formatted as syslog does
};

Recorded g_recorded;
// The framework asserts when asked to encode a code unit that is no Unicode
// character (a lone surrogate, a value above U+10FFFF); it then encodes it
// anyway. Counted, not printed, so such inputs do not slow the run down.
unsigned long g_frameworkAsserts = 0;
unsigned long g_messages[4] = {0, 0, 0, 0};

void countAssert(const wxString&, int, const wxString&, const wxString&, const wxString&) { ++g_frameworkAsserts; }

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "fuzz_syslog_text: %s\n", what.c_str());
  abort();
}

class ExposedSyslog : public wxLogSyslog {
 public:
  ExposedSyslog() : wxLogSyslog("fuzz_syslog_text") {}
  using wxLogSyslog::DoLogRecord;
  using wxLogSyslog::DoLogText;
  using wxLogSyslog::DoLogTextAtLevel;
};

ExposedSyslog* g_target = nullptr;

wxString messageFrom(uint8_t mode, const std::vector<uint8_t>& bytes) {
  const char* text = reinterpret_cast<const char*>(bytes.data());
  switch (mode % 4) {
    case 0: return wxString::FromUTF8(text, bytes.size());
    case 1: return wxString(text, *wxConvFileName, bytes.size());
    case 2: return wxString::From8BitData(text, bytes.size());
    default: {
      std::vector<wchar_t> wide;
      for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        uint32_t unit;
        memcpy(&unit, text + i, 4);
        wide.push_back(static_cast<wchar_t>(unit));
      }
      return wxString(wide.data(), wide.size());
    }
  }
}

// Whether every code unit is a Unicode character: no surrogate, nothing
// above U+10FFFF. The framework's UTF-8 decoder lets some of those through.
bool allCharacters(const wxString& message) {
  for (wxString::const_iterator it = message.begin(); it != message.end(); ++it) {
    const wxUint32 unit = static_cast<wxUint32>((*it).GetValue());
    if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) return false;
  }
  return true;
}

}  // namespace

// The system logger's entry, replaced for the whole program.
extern "C" void syslog(int priority, const char* format, ...) {
  ++g_recorded.calls;
  g_recorded.priority = priority;
  g_recorded.format = format != nullptr ? format : "(null format)";
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const char* text = va_arg(args, const char*);
  g_recorded.nullText = text == nullptr;
  g_recorded.text = text != nullptr ? text : "";
  char buffer[8192];
  vsnprintf(buffer, sizeof(buffer), format, again);
  g_recorded.formatted = buffer;
  va_end(again);
  va_end(args);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  new wxInitializer();  // kept for the whole run
  g_target = new ExposedSyslog();
  delete wxLog::SetActiveTarget(g_target);
  wxLog::SetLogLevel(wxLOG_Max);
  wxSetAssertHandler(&countAssert);
  atexit([] {
    fprintf(stderr,
            "fuzz_syslog_text: messages through DoLogRecord %lu, DoLogTextAtLevel %lu, DoLogText %lu, OnLog %lu; "
            "framework encoding asserts %lu\n",
            g_messages[0], g_messages[1], g_messages[2], g_messages[3], g_frameworkAsserts);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t how = data[0];
  uint32_t rawLevel;
  memcpy(&rawLevel, data + 1, 4);
  // Small levels most of the time, so the table's entries are all reached.
  const wxLogLevel level = (how & 0x80) != 0 ? rawLevel : rawLevel % 12;
  const std::vector<uint8_t> bytes(data + 5, data + size);
  const wxString message = messageFrom(how >> 2, bytes);
  const wxScopedCharBuffer utf8 = message.utf8_str();
  const std::string expected = utf8.data() != nullptr ? std::string(utf8.data()) : std::string();

  g_recorded = Recorded();
  int expectedPriority = wxLogSyslog::priorityFor(level);
  bool mayBeFiltered = false;
  switch (how % 4) {
    case 0:
      g_target->DoLogRecord(level, message, wxLogRecordInfo());
      break;
    case 1:
      g_target->DoLogTextAtLevel(level, message);
      break;
    case 2:
      g_target->DoLogText(message);
      expectedPriority = LOG_INFO;
      break;
    default:
      // A fatal error makes the framework abort after logging it.
      if (level == wxLOG_FatalError) return 0;
      wxLog::OnLog(level, message, time(nullptr));
      mayBeFiltered = true;
      break;
  }

  ++g_messages[how % 4];
  if (g_recorded.calls == 0 && mayBeFiltered) return 0;
  if (g_recorded.calls != 1) fail(std::to_string(g_recorded.calls) + " syslog entries for one message");
  if (g_recorded.format != "%s") fail("the text went to syslog with the format \"" + g_recorded.format + "\"");
  if (g_recorded.priority < LOG_EMERG || g_recorded.priority > LOG_DEBUG)
    fail("priority " + std::to_string(g_recorded.priority) + " for level " + std::to_string(level));
  if (g_recorded.priority != expectedPriority)
    fail("priority " + std::to_string(g_recorded.priority) + " for level " + std::to_string(level) + ", not " +
         std::to_string(expectedPriority));
  if (g_recorded.nullText && !message.empty()) fail("a non-empty message reached syslog as a null pointer");
  if (g_recorded.text != expected) fail("the text reaching syslog is not the message as UTF-8");
  if (g_recorded.formatted != g_recorded.text.substr(0, 8191)) fail("the text was formatted, not written as data");
  if (allCharacters(message)) {
    // Decoded again, the text is the message (up to its first NUL, where a C
    // string ends). Code units that are no characters cannot round-trip.
    const size_t nul = message.find(wxUniChar(0));
    const wxString upToNul = nul == wxString::npos ? message : message.substr(0, nul);
    if (wxString::FromUTF8(g_recorded.text.c_str()) != upToNul) fail("the text reaching syslog is not the message");
  }
  return 0;
}
