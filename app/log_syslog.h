// log_syslog.h - the daemon's log target: every framework log message to syslog.
//
// The daemon installs one right after detaching and keeps it for its whole
// life. Each message becomes exactly one syslog entry, at the priority the
// level table gives, written as data (never as a format string). Messages
// come from any thread; the target keeps no state that changes after
// construction.
#ifndef SELVAR_APP_LOG_SYSLOG_H
#define SELVAR_APP_LOG_SYSLOG_H

#include <wx/log.h>
#include <wx/string.h>

class wxLogSyslog : public wxLog {
 public:
  wxLogSyslog();                            // identity "UNKNOWN"
  explicit wxLogSyslog(const char* identity);
  ~wxLogSyslog() override;

  // The syslog priority for a framework log level (unsigned comparison:
  // every value above wxLOG_Trace, user levels included, is LOG_INFO).
  static int priorityFor(wxLogLevel level);

 protected:
  // A leveled message: one entry at the level's priority, text unchanged.
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
  void DoLogTextAtLevel(wxLogLevel level, const wxString& msg) override;
  // Text without a level: one entry at LOG_INFO.
  void DoLogText(const wxString& msg) override;

 private:
  void write(int priority, const wxString& msg);

  // openlog keeps a pointer to the identity, so the copy lives as long as
  // the connection.
  wxString ident;
  wxScopedCharBuffer identBytes;
};

#endif  // SELVAR_APP_LOG_SYSLOG_H
