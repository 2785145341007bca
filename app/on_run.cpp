// The daemon run loop: detach, report start-up to the launcher, wait for a
// termination signal, shut down in order.
#include <errno.h>
#include <fcntl.h>
#include <libdaemon/dfork.h>
#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>
#include <signal.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/crash_report.h"
#include "app/dispatch_watch.h"
#include "app/log_syslog.h"
#include "app/selvar_app.h"
#include "app/status_endpoint.h"
#include "app/stop_signals.h"
#include "compat/monotonic_clock.h"
#include "core/service_core.h"
#include "housekeeping/service_figures.h"

namespace {

// Signals that end the loop, as bits over signal numbers 0 to 15.
const unsigned DAEMON_EXIT_SIGNALS = 0x800C;  // SIGINT, SIGQUIT, SIGTERM
// How long the launcher waits for the daemon's start-up code.
const int DAEMON_START_TIMEOUT_S = 60;

enum DaemonCode { DAEMON_STARTED = 0, DAEMON_NO_PID_FILE = 1, DAEMON_NO_SIGNALS = 2, DAEMON_NOT_STARTED = 3 };

// The launcher's exit status when no code came (README, "Exit codes").
const int LAUNCHER_TIMED_OUT = 255;
const int LAUNCHER_DAEMON_DIED = 254;
const int LAUNCHER_WAIT_DIED = -2;    // waitForStartCode: the daemon ended first

// True while pid is a process that has not ended (a zombie has).
bool processRuns(pid_t pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = fopen(path, "re");
  if (file == nullptr) return false;
  char state = '?';
  // "pid (comm) state ...": comm may hold blanks and parentheses.
  char line[512];
  if (fgets(line, sizeof(line), file) != nullptr) {
    const char* close = strrchr(line, ')');
    if (close != nullptr && close[1] == ' ') state = close[2];
  }
  fclose(file);
  return state != 'Z' && state != 'X' && state != '?';
}

// The daemon's start-up code, or -1 after the time-out, or LAUNCHER_WAIT_DIED
// when the daemon ended without sending one (a module that crashed in Load
// or Open, say): that is known within a second, not after the time-out.
int waitForStartCode(pid_t daemon) {
  const int logUse = daemon_log_use;
  daemon_log_use = static_cast<daemon_log_flags>(0);  // each one-second time-out would be logged
  int result = -1;
  for (int waited = 0; waited < DAEMON_START_TIMEOUT_S; ++waited) {
    errno = 0;
    result = daemon_retval_wait(1);
    if (result >= 0) break;
    // Anything but a time-out is the pipe's end: the daemon is gone.
    if (errno != ETIMEDOUT || !processRuns(daemon)) {
      result = LAUNCHER_WAIT_DIED;
      break;
    }
  }
  daemon_log_use = static_cast<daemon_log_flags>(logUse);
  return result;
}

}  // namespace

int SelvarApp::OnRun() {
  daemon_pid_file_ident = "vantriserver";
  // libdaemon opens the system log itself when it reports a failure; with
  // the same identity the daemon's entries never change their name.
  daemon_log_ident = daemon_pid_file_ident;
  daemon_retval_init();
  // Under systemd's Type=forking the watchdog variables name this process;
  // the daemon learns its launcher's PID from the memory it inherits.
  const pid_t launcher = getpid();
  const pid_t pid = daemon_fork();
  if (pid < 0) {
    const int error = errno;
    daemon_retval_done();
    return error;
  }
  if (pid > 0) {
    int status;
    const int result = waitForStartCode(pid);
    if (result == LAUNCHER_WAIT_DIED) {
      wxLogError(_("The service stopped while starting; the system log (syslog) says why."));
      status = LAUNCHER_DAEMON_DIED;
    } else if (result < 0) {
      wxLogError(_("Timeout waiting for service to signal that it is running."));
      wxLogError(_("Please verify that the service is responding by connecting to it with a client."));
      status = LAUNCHER_TIMED_OUT;
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
  return runDaemon(launcher);
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

int SelvarApp::runDaemon(pid_t launcher) {
  umask(022);
  wxSetWorkingDirectory(executableName.GetPath(wxPATH_GET_VOLUME));
  delete wxLog::SetActiveTarget(new wxLogSyslog(daemon_pid_file_ident));
  // Before any module is loaded: a crash names its module, a write to a
  // closed pipe gets EPIPE, and an exit() behind the stop's back is logged.
  installCrashReport(daemon_pid_file_ident);
  ignoreBrokenPipes();
  reportUnexpectedExit();
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
  // SIGHUP, SIGUSR1, SIGUSR2 and SIGALRM come through the same descriptor:
  // their default action would end the daemon at once, with no stop; they
  // are logged and otherwise ignored.
  const int signalFd = openStopSignals();
  if (signalFd < 0) {
    wxLogSysError("Could not register signal handlers");
    daemon_retval_send(DAEMON_NO_SIGNALS);
  }

  if (g_Service->start()) {
    wxLogMessage("Successfully started");
    daemon_retval_send(DAEMON_STARTED);

    const int fd = signalFd;
    if (fd < 0) {
      // Without a descriptor no signal could ever end the daemon.
      wxLogSysError("No signal descriptor to wait on; shutting down");
    } else {
      DispatchWatch watch(g_dispatchCall,
                          watchdogPeriodMs(getenv("WATCHDOG_USEC"), getenv("WATCHDOG_PID"), getpid(), launcher));
      // The read-only status socket (docs/running-as-a-service.md, "Looking
      // inside"); the service runs on without it if it cannot be made. It
      // is gone before the stop begins, so a client then hears at once that
      // the service is not running instead of waiting on a busy loop.
      std::unique_ptr<StatusEndpoint> endpoint(
          new StatusEndpoint(statusSocketPath(daemon_pid_file_proc()), [] { return describeService(*g_Service); }));
      if (!endpoint->open()) {
        wxLogWarning("Could not create the status socket %s (%s); running without it.", endpoint->path(),
                     strerror(errno));
        endpoint.reset();
      }
      std::vector<struct pollfd> fds;
      for (;;) {
        const int64_t now = monotonicMs();
        watch.tick(now);
        int64_t waitMs = watch.timeoutMs(now);
        fds.assign(1, pollfd{fd, POLLIN, 0});
        if (endpoint) {
          endpoint->addTo(fds);
          const int64_t pendingMs = endpoint->timeoutMs(now);
          if (pendingMs >= 0 && pendingMs < waitMs) waitMs = pendingMs;
        }
        const int count = poll(fds.data(), fds.size(), static_cast<int>(waitMs));
        if (count < 0) {
          if (errno == EINTR) continue;
          wxLogSysError("poll() failed.");
          break;
        }
        if (endpoint) endpoint->serve(fds, 1, monotonicMs());
        if ((fds[0].revents & POLLIN) == 0) continue;
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
  markOrderlyExit();
  return 0;
}
