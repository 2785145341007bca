#include "app/crash_report.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "pluginhost/module_calls.h"

namespace {

const int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
const char* const CRASH_SYSLOG_PATH = "/dev/log";
const size_t CRASH_TEXT_SIZE = 512;

// Prepared by installCrashReport, read-only in the handler.
int g_logSocket = -1;
char g_logTag[96];  // "ident[pid]: "
long g_utcOffset = 0;
pid_t g_pid = 0;
std::atomic<bool> g_reported{false};
std::atomic<bool> g_orderlyExit{false};
// The main thread's handler stack, so a stack overflow there is reported
// too. Other threads run the handler on their own stacks.
char g_alternateStack[64 * 1024];

// Appends to a fixed buffer, cutting what does not fit. No allocation.
struct TextBuffer {
  char* text;
  size_t capacity;
  size_t length;

  void add(const char* s) {
    while (*s != '\0' && length + 1 < capacity) text[length++] = *s++;
    text[length] = '\0';
  }
  void addNumber(long value, int minDigits = 1) {
    char digits[24];
    int count = 0;
    unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0 || count < minDigits);
    if (value < 0) add("-");
    char reversed[24];
    for (int i = 0; i < count; ++i) reversed[i] = digits[count - 1 - i];
    reversed[count] = '\0';
    add(reversed);
  }
};

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "?";
  }
}

uintptr_t instructionAddress(const void* context) {
  if (context == nullptr) return 0;
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#elif defined(__arm__)
  return static_cast<uintptr_t>(uc->uc_mcontext.arm_pc);
#else
  (void)uc;
  return 0;
#endif
}

// "Mmm dd hh:mm:ss " in local time, as syslog() writes it; the offset was
// taken at installation (localtime_r is not async-signal-safe).
void addTimestamp(TextBuffer& out) {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const long seconds = static_cast<long>(now.tv_sec) + g_utcOffset;
  long days = seconds / 86400;
  const long inDay = seconds % 86400;
  // Civil date from days since 1970-01-01 (Gregorian, proleptic).
  days += 719468;
  const long era = days / 146097;
  const long dayOfEra = days - era * 146097;
  const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long shiftedMonth = (5 * dayOfYear + 2) / 153;
  const long day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const long month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  out.add(months[month - 1]);
  out.add(day < 10 ? "  " : " ");
  out.addNumber(day);
  out.add(" ");
  out.addNumber(inDay / 3600, 2);
  out.add(":");
  out.addNumber(inDay / 60 % 60, 2);
  out.add(":");
  out.addNumber(inDay % 60, 2);
  out.add(" ");
}

int connectToLogger() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, CRASH_SYSLOG_PATH, sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void sendEntry(const char* entry, size_t length) {
  if (g_logSocket >= 0 && send(g_logSocket, entry, length, MSG_NOSIGNAL) >= 0) return;
  // The logger may have been restarted since: socket() and connect() are
  // async-signal-safe, so one fresh try is allowed here.
  if (g_logSocket >= 0) close(g_logSocket);
  g_logSocket = connectToLogger();
  if (g_logSocket >= 0) send(g_logSocket, entry, length, MSG_NOSIGNAL);
}

void onFatalSignal(int sig, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  if (!g_reported.exchange(true)) {
    char entry[CRASH_TEXT_SIZE];
    TextBuffer out = {entry, sizeof(entry), 0};
    out.add("<");
    out.addNumber(LOG_DAEMON | LOG_ERR);
    out.add(">");
    addTimestamp(out);
    out.add(g_logTag);
    out.length += formatCrashReport(sig, info, context, entry + out.length, sizeof(entry) - out.length);
    sendEntry(entry, out.length);
  }
  // Back to the default action, and the signal once more: it stays pending
  // until this handler returns, then ends the process as it would have.
  struct sigaction fallback;
  memset(&fallback, 0, sizeof(fallback));
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  raise(sig);
  errno = savedErrno;
}

void onExit() {
  if (g_orderlyExit.load()) return;
  const ModuleCallRecord* call = g_threadCall;
  const char* module = call != nullptr ? moduleFileName(call->library.load()) : nullptr;
  if (module != nullptr)
    syslog(LOG_ERR, "plugin %s called exit() in %s; Selvar ends without closing its modules", module,
           call->entry.load());
  else
    syslog(LOG_ERR, "exit() was called outside the stop sequence; Selvar ends without closing its modules");
}

}  // namespace

size_t formatCrashReport(int sig, const siginfo_t* info, const void* context, char* text, size_t capacity) {
  TextBuffer out = {text, capacity, 0};
  if (capacity == 0) return 0;
  text[0] = '\0';
  const pid_t self = g_pid != 0 ? g_pid : getpid();
  if (info != nullptr && info->si_code <= 0 && info->si_pid != self && info->si_pid != 0) {
    out.add("Selvar was sent signal ");
    out.addNumber(sig);
    out.add(" (");
    out.add(signalName(sig));
    out.add(") by process ");
    out.addNumber(info->si_pid);
    return out.length;
  }
  const ModuleCallRecord* call = g_threadCall;
  const char* module = nullptr;
  const char* where = nullptr;
  if (call != nullptr && (module = moduleFileName(call->library.load())) != nullptr) {
    where = call->entry.load();
  } else if ((module = moduleFileNameAt(instructionAddress(context))) != nullptr) {
    where = "its own thread";
  }
  if (module != nullptr) {
    out.add("plugin ");
    out.add(module);
    out.add(" crashed in ");
    out.add(where);
  } else {
    out.add("Selvar crashed");
  }
  out.add(" with signal ");
  out.addNumber(sig);
  out.add(" (");
  out.add(signalName(sig));
  out.add(")");
  return out.length;
}

void installCrashReport(const char* identity) {
  g_pid = getpid();
  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) g_utcOffset = local.tm_gmtoff;
  TextBuffer tag = {g_logTag, sizeof(g_logTag), 0};
  tag.add(identity);
  tag.add("[");
  tag.addNumber(g_pid);
  tag.add("]: ");
  g_logSocket = connectToLogger();

  stack_t alternate;
  memset(&alternate, 0, sizeof(alternate));
  alternate.ss_sp = g_alternateStack;
  alternate.ss_size = sizeof(g_alternateStack);
  sigaltstack(&alternate, nullptr);

  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_sigaction = onFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int sig : CRASH_SIGNALS) sigaction(sig, &action, nullptr);
}

void ignoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

void reportUnexpectedExit() { atexit(onExit); }

void markOrderlyExit() { g_orderlyExit.store(true); }
