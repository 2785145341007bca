#include "pluginhost/plugin_thread.h"

#include <cstdlib>

#include "core/payload_alloc.h"
#include "core/service_core.h"
#include "pluginhost/call_blocks.h"
#include "pluginhost/module_calls.h"

PluginThread::PluginThread(ServiceCore* core_, PluginEntryPoint entry_, const PluginCallRequest& request_,
                           const PluginCallReply& reply_, const void* library_)
    : pt::thread(true), core(core_), calls(nullptr), entry(entry_), request(request_), reply(reply_), library(library_),
      copyMade(true) {
  // The payload is copied here, on the launching thread, so the launcher's
  // caller may reuse its buffer as soon as construction returns.
  void* source = nullptr;
  uint32_t size = 0;
  void** target = nullptr;
  switch (request.entryIndex) {
    case ENTRY_READ:
      source = request.in.read.data;
      size = request.in.read.dataSize;
      target = &request.in.read.data;
      break;
    case ENTRY_WRITE:
      source = request.in.write.data;
      size = request.in.write.dataSize;
      target = &request.in.write.data;
      break;
    case ENTRY_IOCTL:
      if (request.in.ioctl.code == IOCTL_EVENT_OTHERS) {
        source = request.in.ioctl.data;
        size = request.in.ioctl.dataSize;
        target = &request.in.ioctl.data;
      }
      break;
    default:
      break;
  }
  if (target == nullptr || source == nullptr) return;
  *target = copyPayload(source, size);
  copyMade = *target != nullptr;
}

PluginThread::~PluginThread() {}

bool PluginThread::launch(ServiceCore* core, PluginEntryPoint entry, const PluginCallRequest& request,
                          const PluginCallReply& reply, const void* library, PluginThread** threadOut,
                          std::shared_ptr<ModuleFigures> figures) {
  if (entry == nullptr) return false;  // a module that does not export the entry is not called
  PluginThread* thread = new PluginThread(core, entry, request, reply, library);
  if (request.entryIndex == ENTRY_READ) thread->figures = std::move(figures);
  if (!thread->ready()) {
    delete thread;
    return false;
  }
  core->callTracker.enter(library);
  thread->calls = core->callTracker.shared();
  if (threadOut != nullptr) *threadOut = thread;
  if (!thread->start()) {
    // Not started: still ours to free, together with its payload copy.
    if (threadOut != nullptr) *threadOut = nullptr;
    thread->freePayload();
    core->callTracker.leave(library);
    delete thread;
    return false;
  }
  return true;
}

void* PluginThread::payload() {
  switch (request.entryIndex) {
    case ENTRY_READ:
      return request.in.read.data;
    case ENTRY_WRITE:
      return request.in.write.data;
    case ENTRY_IOCTL:
      return request.in.ioctl.code == IOCTL_EVENT_OTHERS ? request.in.ioctl.data : nullptr;
    default:
      return nullptr;
  }
}

void PluginThread::freePayload() {
  void* data = payload();
  if (data == nullptr) return;
  free(data);
  switch (request.entryIndex) {
    case ENTRY_READ:
      request.in.read.data = nullptr;
      break;
    case ENTRY_WRITE:
      request.in.write.data = nullptr;
      break;
    case ENTRY_IOCTL:
      request.in.ioctl.data = nullptr;
      break;
    default:
      break;
  }
}

void PluginThread::execute() {
  // The core is touched only while pinned: a call the unload pass gave up on
  // may outlive it.
  if (request.entryIndex == ENTRY_READ && request.in.read.requestHandle != 0 && CallTracker::pinOwner(calls)) {
    core->waitRegistry.setProvider(get_id(), true);
    CallTracker::unpinOwner(calls);
  }
  if (figures) figures->readsRunning.fetch_add(1, std::memory_order_relaxed);
  {
    LocalModuleCall call(library, moduleEntryName(request.entryIndex));
    entry(&request.in, &reply.out);
  }
  if (figures) figures->readsRunning.fetch_sub(1, std::memory_order_relaxed);
}

void PluginThread::cleanup() {
  if (request.entryIndex == ENTRY_READ && request.in.read.requestHandle != 0 && CallTracker::pinOwner(calls)) {
    core->waitRegistry.setProvider(get_id(), false);
    CallTracker::unpinOwner(calls);
  }
  freePayload();
  // Last touch of the counts: after this the module may be unloaded and the
  // core destroyed; only this object's own memory is used from here on.
  CallTracker::leave(calls, library);
}

void initCallBlocks(uint32_t entryIndex, PluginCallRequest* request, PluginCallReply* reply) {
  // Zero-filled once, unions included; the entry's own blocks then only
  // need their headers.
  initCallBlock(request);
  initCallBlock(reply);
  request->entryIndex = entryIndex;
  reply->entryIndex = entryIndex;
  switch (entryIndex) {
    case ENTRY_READ:
      setCallBlockHeader(&request->in.read);
      setCallBlockHeader(&reply->out.read);
      request->in.read.async = 1;
      break;
    case ENTRY_WRITE:
      setCallBlockHeader(&request->in.write);
      setCallBlockHeader(&reply->out.write);
      request->in.write.async = 1;
      break;
    case ENTRY_IOCTL:
      setCallBlockHeader(&request->in.ioctl);
      setCallBlockHeader(&reply->out.ioctl);
      break;
    default:
      break;
  }
}

bool startIoctlCall(ServiceCore* core, _PlugInInfo& info) {
  PluginCallRequest request;
  PluginCallReply reply;
  initCallBlocks(ENTRY_IOCTL, &request, &reply);
  request.in.ioctl.code = IOCTL_AFTER_LOAD;
  request.in.ioctl.argSize = 8;
  request.in.ioctl.argVersion = 1;
  reply.out.ioctl.code = IOCTL_AFTER_LOAD;
  reply.out.ioctl.argSize = 8;
  reply.out.ioctl.argVersion = 1;
  return PluginThread::launch(core, info.fnIOCTL, request, reply, info.library, &info.ioctlThread);
}

bool startReadCall(ServiceCore* core, _PlugInInfo& info) {
  PluginCallRequest request;
  PluginCallReply reply;
  initCallBlocks(ENTRY_READ, &request, &reply);
  return PluginThread::launch(core, info.fnRead, request, reply, info.library, &info.readThread, info.figures);
}

bool startWriteCall(ServiceCore* core, _PlugInInfo& info) {
  PluginCallRequest request;
  PluginCallReply reply;
  initCallBlocks(ENTRY_WRITE, &request, &reply);
  return PluginThread::launch(core, info.fnWrite, request, reply, info.library, &info.writeThread);
}
