#include "app/log_syslog.h"

#include <syslog.h>
#include <wx/thread.h>

#include <atomic>

#include "compat/pt.h"

namespace {
// The target that threads are handed to: the newest one.
std::atomic<wxLogSyslog*> g_threadTarget{nullptr};
}  // namespace

wxLogSyslog::wxLogSyslog() : wxLogSyslog("UNKNOWN") {}

wxLogSyslog::wxLogSyslog(const char* identity) : ident(identity) {
  identBytes = ident.utf8_str();
  openConnection();
  g_threadTarget.store(this);
  pt::setLongLivedThreadHook(&wxLogSyslog::takeThisThread);
}

wxLogSyslog::~wxLogSyslog() {
  wxLogSyslog* self = this;
  if (g_threadTarget.compare_exchange_strong(self, nullptr)) pt::setLongLivedThreadHook(nullptr);
  closelog();
}

void wxLogSyslog::takeThisThread() {
  wxLogSyslog* target = g_threadTarget.load();
  if (target != nullptr && !wxThread::IsMain()) wxLog::SetThreadActiveTarget(target);
}

void wxLogSyslog::openConnection() { openlog(identBytes.data(), LOG_PID | LOG_CONS, LOG_DAEMON); }

int wxLogSyslog::priorityFor(wxLogLevel level) {
  static const int priorities[] = {
      LOG_CRIT,     // wxLOG_FatalError
      LOG_ERR,      // wxLOG_Error
      LOG_WARNING,  // wxLOG_Warning
      LOG_INFO,     // wxLOG_Message
      LOG_NOTICE,   // wxLOG_Status
      LOG_INFO,     // wxLOG_Info
      LOG_DEBUG,    // wxLOG_Debug
      LOG_DEBUG,    // wxLOG_Trace
  };
  const unsigned long index = static_cast<unsigned long>(level);
  return index < sizeof(priorities) / sizeof(priorities[0]) ? priorities[index] : LOG_INFO;
}

void wxLogSyslog::DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) {
  // Bypasses the framework's formatter: syslog stamps the entry itself, and
  // the priority already says "error" or "warning".
  write(priorityFor(level), msg);
}

void wxLogSyslog::DoLogTextAtLevel(wxLogLevel level, const wxString& msg) { write(priorityFor(level), msg); }

void wxLogSyslog::DoLogText(const wxString& msg) { write(LOG_INFO, msg); }

void wxLogSyslog::write(int priority, const wxString& msg) {
  // Cheap: openlog only sets the settings while the socket is connected.
  openConnection();
  syslog(priority, "%s", static_cast<const char*>(msg.utf8_str()));
}
