// cxx_module.cpp - a C++17 module for the SDK tests: when the service sends
// its module status document it counts the <Plugin> entries and reports the
// number as a status event (class 0x00001000, flag EVF_MASK7), which the
// demo monitor logs. Load and Open run on the main thread, IOCTL on the
// dispatch thread.
#include <cstring>
#include <string>
#include <string_view>

#include "event_record.h"
#include "plugin_interface.h"

namespace {

constexpr uint32_t kModuleId = 0x00600002u;
constexpr uint32_t kStatusClass = 0x00001000u;

FlatPluginEventFn g_submit = nullptr;

void sendStatus(const std::string& text) {
  _EventParmsIn in{};
  _EventParmsOut out{};
  in.size = sizeof in;
  in.version = 1;
  in.dataSize = static_cast<uint32_t>(text.size());
  in.data = const_cast<char*>(text.data());
  in.sourceId = kModuleId;
  in.flags = EVF_MASK7;
  in.eventClass = kStatusClass;
  out.size = sizeof out;
  out.version = 1;
  g_submit(&in, &out);
}

size_t countOf(std::string_view text, std::string_view what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

}  // namespace

extern "C" {

int32_t Load(void* inBlock, void* outBlock) {
  const auto* in = static_cast<const _LoadParmsIn*>(inBlock);
  auto* out = static_cast<_LoadParmsOut*>(outBlock);
  g_submit = in->eventEntry;
  out->moduleId = kModuleId;
  return g_submit != nullptr ? 0 : 1;
}

int32_t IOCTL(void* inBlock, void*) {
  const auto* in = static_cast<const _IOCTLParmsIn*>(inBlock);
  if (in->code != IOCTL_EVENT_OTHERS || in->data == nullptr) return 0;
  std::string_view document(static_cast<const char*>(in->data), in->dataSize);
  if (document.find("<Modules>") == std::string_view::npos) return 0;
  sendStatus("c++ module: status document lists " + std::to_string(countOf(document, "<Plugin ")) + " plugins");
  return 0;
}

}  // extern "C"
