// The dispatch thread's pass over the queue: choose receivers, deliver, and
// free each payload when its last hold is released.
#include <cstdlib>
#include <cstring>

#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "pluginhost/call_blocks.h"
#include "pluginhost/module_calls.h"

namespace {

// Queued delivery matches the class with its top byte shifted left; bit 31
// falls away.
uint32_t deliveryPattern(uint32_t eventClass) {
  return (eventClass & 0x00FFFFFFu) | ((eventClass & 0xFF000000u) << 1);
}

// Delivers through IOCTL code 2 or 3. Returns the receiver's keep word.
uint32_t deliverIoctl(const _PlugInInfo& info, const _EventParmsIn& event, uint32_t code) {
  _IOCTLParmsIn in;
  _IOCTLParmsOut out;
  initCallBlock(&in);
  initCallBlock(&out);
  in.code = code;
  in.argSize = 16;
  in.argVersion = 1;
  in.dataSize = event.dataSize;
  in.data = event.data;
  out.code = code;
  out.argSize = 8;
  out.argVersion = 1;
  DispatchCallScope call(info.library, "IOCTL");
  info.fnIOCTL(&in, &out);
  return out.keep;
}

// Delivers through Write. Returns the receiver's keep word.
uint32_t deliverWrite(const _PlugInInfo& info, const _EventParmsIn& event) {
  _WriteParmsIn in;
  _WriteParmsOut out;
  initCallBlock(&in);
  initCallBlock(&out);
  copyEventFields(&in, event);
  DispatchCallScope call(info.library, "Write");
  info.fnWrite(&in, &out);
  return out.keep;
}

}  // namespace

void ServiceCore::drainEventQueue() {
  for (;;) {
    _EventParmsIn event;
    {
      ScopedLock lock(&queueMutex);
      if (eventQueue.empty()) return;
      event = eventQueue.front();
      eventQueue.pop();
    }
    char* payload = static_cast<char*>(event.data);
    // The dispatch thread's own hold keeps the payload alive for the whole
    // pass, even if every receiver releases it at once.
    bufferRegistry.addHold(payload, EVENT_SOURCE_CORE);
    const uint32_t pattern = deliveryPattern(event.eventClass);
    for (size_t i = 0; i < modules.size(); ++i) {
      const _PlugInInfo& info = modules[i];
      if (info.library == nullptr) continue;
      const uint32_t id = info.moduleId();
      PluginEntryPoint entry = nullptr;
      uint32_t code = 0;
      if ((event.flags & EVF_TO_OTHERS) != 0 && id != event.sourceId) {
        entry = info.fnIOCTL;
        code = IOCTL_EVENT_OTHERS;
      } else if ((event.flags & EVF_TO_ALL) != 0) {
        entry = info.fnIOCTL;
        code = IOCTL_EVENT_ALL;
      } else if (info.loadInfo.acceptsEvents != 0 && info.matches(event.flags, pattern)) {
        entry = info.fnWrite;
      } else {
        continue;
      }
      // A receiver that does not export the entry is skipped, with no hold.
      if (entry == nullptr) continue;
      bufferRegistry.addHold(payload, id);
      const uint32_t keep = code != 0 ? deliverIoctl(info, event, code) : deliverWrite(info, event);
      if (keep == 0) bufferRegistry.releaseHold(payload, id);
    }
    if (payload != nullptr && bufferRegistry.releaseHold(payload, EVENT_SOURCE_CORE)) freeReleasedPayload(payload);
  }
}
