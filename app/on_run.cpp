// The daemon run loop: detach, report start-up to the launcher, wait for a
// termination signal, shut down in order.
#include <errno.h>
#include <fcntl.h>
#include <libdaemon/dfork.h>
#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <cstdio>
#include <cstring>

#include "app/log_syslog.h"
#include "app/selvar_app.h"
#include "app/stop_signals.h"
#include "core/service_core.h"

namespace {

// Signals that end the loop, as bits over signal numbers 0 to 15.
const unsigned DAEMON_EXIT_SIGNALS = 0x800C;  // SIGINT, SIGQUIT, SIGTERM
// How long the launcher waits for the daemon's start-up code.
const int DAEMON_START_TIMEOUT_S = 60;

enum DaemonCode { DAEMON_STARTED = 0, DAEMON_NO_PID_FILE = 1, DAEMON_NO_SIGNALS = 2, DAEMON_NOT_STARTED = 3 };

}  // namespace

int SelvarApp::OnRun() {
  daemon_pid_file_ident = "vantriserver";
  // libdaemon opens the system log itself when it reports a failure; with
  // the same identity the daemon's entries never change their name.
  daemon_log_ident = daemon_pid_file_ident;
  daemon_retval_init();
  const pid_t pid = daemon_fork();
  if (pid < 0) {
    const int error = errno;
    daemon_retval_done();
    return error;
  }
  if (pid > 0) {
    int status;
    const int result = daemon_retval_wait(DAEMON_START_TIMEOUT_S);
    if (result < 0) {
      wxLogError(_("Timeout waiting for service to signal that it is running."));
      wxLogError(_("Please verify that the service is responding by connecting to it with a client."));
      status = 255;
    } else if (result == 0) {
      status = 0;
    } else {
      wxLogError(_("Daemon returned %i"), result);
      status = result;
    }
    // The single-instance lock now belongs to the daemon: the framework's
    // tear-down of this process would remove the lock file and release the
    // lock, letting a second daemon start beside the running one. So this
    // process destroys its core and leaves without that tear-down.
    wxLog::FlushActive();
    OnExit();
    fflush(stdout);
    fflush(stderr);
    _exit(status);
  }
  return runDaemon();
}

void SelvarApp::claimInstanceLock() {
  // The lock file names the launcher, which is about to exit; a second start
  // would take a dead PID for a stale lock. Put the daemon's PID there. The
  // file is opened without following links and only if it is ours.
  const wxString path = wxString(SELVAR_INSTANCE_DIR "/") + SELVAR_INSTANCE_NAME;
  const int fd = open(path.fn_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()) {
    char text[32];
    const int length = snprintf(text, sizeof(text), "%d", static_cast<int>(getpid())) + 1;  // with its NUL
    if (ftruncate(fd, 0) == 0 && write(fd, text, length) == length) fsync(fd);
  }
  close(fd);
}

int SelvarApp::runDaemon() {
  umask(022);
  wxSetWorkingDirectory(executableName.GetPath(wxPATH_GET_VOLUME));
  delete wxLog::SetActiveTarget(new wxLogSyslog(daemon_pid_file_ident));
  claimInstanceLock();

  // A daemon that was killed leaves its PID file behind; nothing runs under
  // it any more (the single-instance guard says no other daemon does), so it
  // is removed rather than reported as a failure to create one.
  if (daemon_pid_file_is_running() < 0) daemon_pid_file_remove();
  if (daemon_pid_file_create() < 0) {
    wxLogSysError("Could not create PID file");
    daemon_retval_send(DAEMON_NO_PID_FILE);
  }
  // Before start() makes any thread, so that every thread inherits the mask.
  const int signalFd = openStopSignals();
  if (signalFd < 0) {
    wxLogSysError("Could not register signal handlers");
    daemon_retval_send(DAEMON_NO_SIGNALS);
  }

  if (g_Service->start()) {
    wxLogMessage("Successfully started");
    daemon_retval_send(DAEMON_STARTED);

    const int fd = signalFd;
    if (fd < 0 || fd >= FD_SETSIZE) {
      // Without a descriptor no signal could ever end the daemon.
      wxLogSysError("No signal descriptor to wait on; shutting down");
    } else {
      fd_set watched;
      FD_ZERO(&watched);
      FD_SET(fd, &watched);
      for (;;) {
        fd_set ready = watched;
        if (select(FD_SETSIZE, &ready, nullptr, nullptr, nullptr) < 0) {
          if (errno == EINTR) continue;
          wxLogSysError("select() failed.");
          break;
        }
        const int sig = nextStopSignal(fd);
        if (sig == 0) continue;
        if (sig < 0) {
          wxLogSysError("Reading the signal descriptor failed.");
          break;
        }
        if (sig <= 15 && (DAEMON_EXIT_SIGNALS & (1u << sig)) != 0) {
          wxLogMessage("Received signal %i, Exiting...", sig);
          break;
        }
        wxLogWarning("Received signal %i but did nothing with it.", sig);
      }
    }
  } else {
    wxLogSysError("Service routine did not start.");
    daemon_retval_send(DAEMON_NOT_STARTED);
  }

  g_Service->stop();
  daemon_retval_send(-1);
  closeStopSignals(signalFd);
  daemon_pid_file_remove();
  wxLogMessage("Done");
  return 0;
}
