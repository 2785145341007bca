// log_syslog.h - the daemon's log target: every framework log message to syslog.
//
// The daemon installs one right after detaching and keeps it for its whole
// life. Each message becomes exactly one syslog entry, at the priority the
// level table gives, written as data (never as a format string). The
// connection's settings (identity, LOG_PID | LOG_CONS, the daemon facility)
// are set again before every entry: libdaemon opens the log itself with
// LOG_PID alone whenever it reports something.
//
// Threads: the framework holds back a message logged on any thread but the
// main one until the main thread flushes, which the daemon's never does. So
// a thread that logs is handed to the target first (takeThisThread): every
// long-lived service thread is, as it starts, while the target exists. The
// target keeps no state that changes after construction.
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

  // From now on the calling thread's messages go straight to the newest
  // target instead of waiting for the main thread. Nothing on the main
  // thread or without a target. A thread that is not started as a
  // long-lived service thread calls it before it logs; the framework keeps
  // a little memory for each such thread until the process ends.
  static void takeThisThread();

 protected:
  // A leveled message: one entry at the level's priority, text unchanged.
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
  void DoLogTextAtLevel(wxLogLevel level, const wxString& msg) override;
  // Text without a level: one entry at LOG_INFO.
  void DoLogText(const wxString& msg) override;

 private:
  void write(int priority, const wxString& msg);
  void openConnection();

  // openlog keeps a pointer to the identity, so the copy lives as long as
  // the connection.
  wxString ident;
  wxScopedCharBuffer identBytes;
};

#endif  // SELVAR_APP_LOG_SYSLOG_H
