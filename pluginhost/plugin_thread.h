// plugin_thread.h - one call into a module on a short-lived thread of its own.
//
// A PluginThread carries private copies of its call's blocks and payload,
// calls one entry point once, frees its copy, and deletes itself (autofree).
// While a Read for a request with a non-zero handle runs, the thread is a
// registered provider (WaitRegistry). The core's CallTracker counts it from
// before start until after clean-up, so a module's library is never unloaded
// under it. Launchers may be called from any thread.
#ifndef SELVAR_PLUGINHOST_PLUGIN_THREAD_H
#define SELVAR_PLUGINHOST_PLUGIN_THREAD_H

#include <cstdint>

#include <memory>

#include "compat/pt.h"
#include "housekeeping/service_figures.h"
#include "pluginhost/call_tracker.h"
#include "pluginhost/plugin_info.h"
#include "pluginhost/plugin_interface.h"

class ServiceCore;

// The call's input block behind a 12-byte header (204 bytes on 32-bit).
struct PluginCallRequest {
  uint32_t size;
  uint32_t version;
  uint32_t entryIndex;
  union {
    _LoadParmsIn load;
    _ReadParmsIn read;
    _WriteParmsIn write;
    _IOCTLParmsIn ioctl;
    uint8_t bytes[sizeof(_WriteParmsIn)];
  } in;
};

// The call's output block behind a 12-byte header (76 bytes on 32-bit).
struct PluginCallReply {
  uint32_t size;
  uint32_t version;
  uint32_t entryIndex;
  union {
    _LoadParmsOut load;
    _ReadParmsOut read;
    _WriteParmsOut write;
    _IOCTLParmsOut ioctl;
    uint8_t bytes[sizeof(_LoadParmsOut)];
  } out;
};

class PluginThread : public pt::thread {
 public:
  // Copies both blocks and, for Read, Write and IOCTL code 2, the payload.
  // library is the module's library handle, the key under which the core's
  // CallTracker counts the call.
  PluginThread(ServiceCore* core, PluginEntryPoint entry, const PluginCallRequest& request,
               const PluginCallReply& reply, const void* library);
  ~PluginThread() override;

  // False when the payload copy could not be allocated: the call must not run.
  bool ready() const { return copyMade; }

  // Counts the call, starts it, and returns true; on any failure (no entry,
  // no payload copy, no thread) nothing runs and nothing leaks. When threadOut is
  // given it receives the thread's address (a reference only). A Read call
  // counts itself in figures (the module's) while it runs.
  static bool launch(ServiceCore* core, PluginEntryPoint entry, const PluginCallRequest& request,
                     const PluginCallReply& reply, const void* library, PluginThread** threadOut,
                     std::shared_ptr<ModuleFigures> figures = nullptr);

 protected:
  void execute() override;
  void cleanup() override;

 private:
  void* payload();
  void freePayload();

  ServiceCore* core;            // used only while pinned through calls
  CallTracker::Shared* calls;  // set at launch; outlives the core while this call is counted
  PluginEntryPoint entry;
  PluginCallRequest request;
  PluginCallReply reply;
  const void* library;
  bool copyMade;
  std::shared_ptr<ModuleFigures> figures;  // may outlive the module's record
};

// Zeroed blocks for entryIndex, each header and, for Read, Write and IOCTL,
// the entry's own block filled (size, version; async set for Read and Write).
void initCallBlocks(uint32_t entryIndex, PluginCallRequest* request, PluginCallReply* reply);

// The three launchers; each returns true once its thread has started.
bool startIoctlCall(ServiceCore* core, _PlugInInfo& info);  // IOCTL code 1, no payload
bool startReadCall(ServiceCore* core, _PlugInInfo& info);   // Read, no payload, handle 0
bool startWriteCall(ServiceCore* core, _PlugInInfo& info);  // Write, all-zero event part

#endif  // SELVAR_PLUGINHOST_PLUGIN_THREAD_H
