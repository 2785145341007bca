// The service's event entry point, exported under its plain C name.
#include "core/service_core.h"

extern "C" int32_t FlatPluginEvent(const _EventParmsIn* in, _EventParmsOut* out) {
  return g_pDVRCore->submitEvent(in, out);
}
