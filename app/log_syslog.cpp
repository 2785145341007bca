#include "app/log_syslog.h"

#include <syslog.h>

wxLogSyslog::wxLogSyslog() : wxLogSyslog("UNKNOWN") {}

wxLogSyslog::wxLogSyslog(const char* identity) : ident(identity) {
  identBytes = ident.utf8_str();
  openlog(identBytes.data(), LOG_PID | LOG_CONS, LOG_DAEMON);
}

wxLogSyslog::~wxLogSyslog() { closelog(); }

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
  syslog(priority, "%s", static_cast<const char*>(msg.utf8_str()));
}
