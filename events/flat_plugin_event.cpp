// The service's event entry point, exported under its plain C name.
#include "core/service_core.h"

extern "C" int32_t FlatPluginEvent(const _EventParmsIn* in, _EventParmsOut* out) {
  // A module's null records must not end the service: without an in-record
  // there is nothing to do (and nothing is written); without an out-record
  // the event is taken and its result goes nowhere.
  if (in == nullptr) return -1;
  _EventParmsOut unread;
  return g_pDVRCore->submitEvent(in, out != nullptr ? out : &unread);
}
