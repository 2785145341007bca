// The service's event entry point, exported under its plain C name.
//
// Module threads may call it at any time, also while the core is being
// destroyed and after (a thread the module left running): each call is
// counted while it is inside the core, and the core's destructor first
// closes the entry and then waits for the calls inside it to return. The
// count is spread over cache-line stripes picked by thread, so submitters on
// different threads do not write one shared line.
#include <pthread.h>

#include <atomic>
#include <cstring>

#include "compat/pt.h"
#include "core/service_core.h"

namespace {

const size_t ENTRY_STRIPES = 16;  // a power of two

struct alignas(64) EntryStripe {
  std::atomic<long> calls{0};
};

EntryStripe g_entryCalls[ENTRY_STRIPES];

EntryStripe& stripeOfThisThread() {
  const pthread_t self = pthread_self();
  uintptr_t id = 0;
  memcpy(&id, &self, sizeof(self) < sizeof(id) ? sizeof(self) : sizeof(id));
  // Thread handles are addresses of per-thread blocks: mix the page bits.
  const uint64_t mixed = static_cast<uint64_t>(id >> 12) * 0x9E3779B97F4A7C15ull;
  return g_entryCalls[static_cast<size_t>(mixed >> 60) & (ENTRY_STRIPES - 1)];
}

long callsInside() {
  long total = 0;
  for (EntryStripe& stripe : g_entryCalls) total += stripe.calls.load(std::memory_order_seq_cst);
  return total;
}

}  // namespace

void closeEventEntry(ServiceCore* core) {
  ServiceCore* expected = core;
  __atomic_compare_exchange_n(&g_pDVRCore, &expected, static_cast<ServiceCore*>(nullptr), false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  // A call that counted itself before the entry closed may still be inside.
  while (callsInside() != 0) pt::psleep(1);
}

extern "C" int32_t FlatPluginEvent(const _EventParmsIn* in, _EventParmsOut* out) {
  // A module's null records must not end the service: without an in-record
  // there is nothing to do (and nothing is written); without an out-record
  // the event is taken and its result goes nowhere. The return value carries
  // nothing, as for every entry but Load.
  if (in == nullptr) return 0;
  _EventParmsOut unread;
  if (out == nullptr) out = &unread;
  EntryStripe& stripe = stripeOfThisThread();
  stripe.calls.fetch_add(1, std::memory_order_seq_cst);
  ServiceCore* core = __atomic_load_n(&g_pDVRCore, __ATOMIC_SEQ_CST);
  if (core != nullptr) {
    core->submitEvent(in, out);
  } else {
    out->result = EVR_STOPPING;  // no service any more
  }
  stripe.calls.fetch_sub(1, std::memory_order_release);
  return 0;
}
