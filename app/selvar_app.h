// selvar_app.h - the service's application object.
//
// Parses the command line, refuses to run twice, finds the executable's own
// path, makes its directory the working directory and builds the service
// core (OnInit); detaches and runs the daemon (OnRun, app/on_run.cpp);
// destroys the core (OnExit). Everything here runs on the main thread.
#ifndef SELVAR_APP_SELVAR_APP_H
#define SELVAR_APP_SELVAR_APP_H

#include <sys/types.h>
#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/filename.h>
#include <wx/snglinst.h>

class SelvarApp : public wxAppConsole {
 public:
  SelvarApp();
  ~SelvarApp() override;

  bool OnInit() override;
  int OnRun() override;
  int OnExit() override;
  void OnInitCmdLine(wxCmdLineParser& parser) override;
  bool OnCmdLineParsed(wxCmdLineParser& parser) override;

  wxSingleInstanceChecker instanceChecker;
  wxFileName executableName;

 private:
  // The daemon's half of OnRun; launcher is the PID of the process that
  // forked it.
  int runDaemon(pid_t launcher);
  // The daemon takes over the single-instance lock from the launcher.
  void claimInstanceLock();

  wxDECLARE_DYNAMIC_CLASS(SelvarApp);
};

// Where the single-instance lock lives.
#define SELVAR_INSTANCE_NAME "Selvar"
#define SELVAR_INSTANCE_DIR "/tmp"

#endif  // SELVAR_APP_SELVAR_APP_H
