// The probe child: the service's openModuleLibrary and callModuleLoad on one
// file, with the framework's log captured so the loader's own error text
// reaches the parent. Module output goes to stderr, never into the report.
#include "tools/inspect/probe_child.h"

#include <sys/resource.h>
#include <unistd.h>

#include <wx/log.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "pluginhost/module_loading.h"
#include "tools/inspect/probe_wire.h"

namespace {

int sinkFd = -1;
std::mutex sinkLock;
std::atomic<uint8_t> phase{static_cast<uint8_t>(EventPhase::Opening)};

// Stands for the service core in _LoadParmsIn.core: opaque to modules.
int coreToken;

void send(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(sinkLock);
  size_t done = 0;
  while (sinkFd >= 0 && done < bytes.size()) {
    const ssize_t n = write(sinkFd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the parent is gone
    done += static_cast<size_t>(n);
  }
}

// Collects what the framework logs while the library is loaded.
class CaptureLog : public wxLog {
 public:
  std::string text;

 protected:
  // The bare message, without the time stamp and level a log target adds.
  void DoLogRecord(wxLogLevel, const wxString& message, const wxLogRecordInfo&) override {
    if (!text.empty()) text += "\n";
    text += message.utf8_str().data();
  }
};

}  // namespace

extern "C" int32_t captureEvent(const _EventParmsIn* in, _EventParmsOut* out) {
  if (out != nullptr) out->result = EVR_OK;
  if (in == nullptr || sinkFd < 0) return 0;
  EventSummary event;
  memset(&event, 0, sizeof(event));
  event.sourceId = in->sourceId;
  event.flags = in->flags;
  event.eventClass = in->eventClass;
  event.requestHandle = in->requestHandle;
  event.dataSize = in->dataSize;
  event.registration = EVENT_REGISTRATION(in);
  event.phase = phase.load();
  event.hasData = in->data != nullptr ? 1 : 0;
  if (in->data != nullptr) {
    event.previewLength = static_cast<uint8_t>(std::min<uint32_t>(in->dataSize, EVENT_PREVIEW_BYTES));
    memcpy(event.preview, in->data, event.previewLength);
  }
  send(encodeEvent(event));
  return 0;
}

void runProbeChild(const std::string& path, int fd) {
  sinkFd = fd;
  const struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  dup2(STDERR_FILENO, STDOUT_FILENO);

  CaptureLog* capture = new CaptureLog;
  wxLog::SetActiveTarget(capture);  // the child never returns to the old one
  _PlugInInfo info;
  const bool loads = openModuleLibrary(wxString(path.c_str(), *wxConvFileName), info, false);
  wxLog::FlushActive();
  uint8_t mask = 0;
  const PluginEntryPoint slots[ENTRY_COUNT] = {info.fnLoad, info.fnUnload, info.fnOpen,  info.fnClose,
                                               info.fnRead, info.fnWrite,  info.fnSeek, info.fnIOCTL};
  for (int i = 0; i < ENTRY_COUNT; ++i)
    if (slots[i] != nullptr) mask = static_cast<uint8_t>(mask | (1u << i));
  send(encodeOpened(loads, mask, loads ? std::string() : capture->text));

  if (loads && info.fnLoad != nullptr) {
    _LoadParmsOut out;
    phase = static_cast<uint8_t>(EventPhase::Load);
    const int32_t result = callModuleLoad(info, &coreToken, &captureEvent, &out);
    phase = static_cast<uint8_t>(EventPhase::AfterLoad);
    send(encodeLoaded(result, out, info.loadTime));
  }
  // No Unload, no destructors: the module's threads die with the process.
  _exit(0);
}
