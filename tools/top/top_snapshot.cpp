// Reads the endpoint's document with nlohmann-json.
#include "tools/top/top_snapshot.h"

#include <nlohmann/json.hpp>

namespace top {

namespace {

using nlohmann::json;

// A figure, or 0 when it is absent or not a non-negative number.
uint64_t figure(const json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_number()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer()) {
    const int64_t value = it->get<int64_t>();
    return value < 0 ? 0 : static_cast<uint64_t>(value);
  }
  const double value = it->get<double>();
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

void readModule(const json& entry, ModuleFigures& module) {
  const auto file = entry.find("file");
  if (file != entry.end() && file->is_string()) module.file = file->get<std::string>();
  module.id = figure(entry, "id");
  module.writes = figure(entry, "writes");
  module.ioctls = figure(entry, "ioctls");
  module.busyNs = figure(entry, "busyNs");
  module.longestCallNs = figure(entry, "longestCallNs");
  module.keptNow = figure(entry, "keptNow");
  module.keptMost = figure(entry, "keptMost");
  module.oldestKeptMs = figure(entry, "oldestKeptMs");
  module.releases = figure(entry, "releases");
  module.foreignReleases = figure(entry, "foreignReleases");
  module.readsRunning = figure(entry, "readsRunning");
  const auto submitted = entry.find("submitted");
  if (submitted != entry.end() && submitted->is_object()) {
    for (const auto& item : submitted->items()) {
      if (item.value().is_number()) module.submitted[item.key()] = figure(*submitted, item.key().c_str());
    }
  }
}

void readService(const json& object, ServiceFigures& service) {
  service.eventsAccepted = figure(object, "eventsAccepted");
  service.eventsDelivered = figure(object, "eventsDelivered");
  service.queueLength = figure(object, "queueLength");
  service.queueHighWater = figure(object, "queueHighWater");
  service.payloadBytesHeld = figure(object, "payloadBytesHeld");
  service.providersWaiting = figure(object, "providersWaiting");
  service.requestsRunning = figure(object, "requestsRunning");
  const auto sources = object.find("countedSources");
  service.countedSources = sources != object.end() && sources->is_array() ? sources->size() : 0;
  service.heapBytes = figure(object, "heapBytes");
  service.heapLimitBytes = figure(object, "heapLimitBytes");
  const auto throttling = object.find("throttling");
  service.throttling = throttling != object.end() && throttling->is_boolean() && throttling->get<bool>();
  service.clockJumps = figure(object, "clockJumps");
  service.dispatchBusyNs = figure(object, "dispatchBusyNs");
}

}  // namespace

bool parseSnapshot(const std::string& text, Snapshot& snapshot, std::string& error) {
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    error = "the service's answer is not a JSON object";
    return false;
  }
  const auto service = document.find("service");
  const auto modules = document.find("modules");
  if (service == document.end() || !service->is_object() || modules == document.end() || !modules->is_array()) {
    error = "the service's answer has no \"service\" object or no \"modules\" list";
    return false;
  }
  snapshot = Snapshot();
  snapshot.pid = static_cast<int64_t>(figure(document, "pid"));
  snapshot.uptimeMs = figure(document, "uptimeMs");
  snapshot.sampleEvery = figure(document, "sampleEvery");
  if (snapshot.sampleEvery == 0) snapshot.sampleEvery = 1;
  readService(*service, snapshot.service);
  for (const auto& entry : *modules) {
    if (!entry.is_object()) continue;
    snapshot.modules.emplace_back();
    readModule(entry, snapshot.modules.back());
  }
  return true;
}

}  // namespace top
