// The JSON report: one document with every module, the table order and the
// close order. Numbers are plain integers; moduleIdHex is there for people.
#include <cstring>

#include "tools/inspect/json_writer.h"
#include "tools/inspect/report.h"

namespace {

const char* const ENTRY_NAMES[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;

const char* probeEndName(ProbeEnd end) {
  switch (end) {
    case ProbeEnd::Finished: return "finished";
    case ProbeEnd::Crashed: return "crashed";
    case ProbeEnd::TimedOut: return "timed-out";
    case ProbeEnd::Exited: return "exited";
    case ProbeEnd::Failed: return "failed";
    case ProbeEnd::NotRun: return "not-run";
  }
  return "failed";
}

void writeProbeEnd(JsonWriter& json, const ModuleProbe& p) {
  json.key("probe");
  json.beginObject();
  json.key("end");
  json.string(probeEndName(p.end));
  if (p.end != ProbeEnd::Finished && p.end != ProbeEnd::Failed && p.end != ProbeEnd::NotRun) {
    json.key("stage");
    json.string(p.openReported ? "load" : "open");
  }
  if (p.end == ProbeEnd::Crashed) {
    json.key("signal");
    json.number(p.signal);
    json.key("signalName");
    json.string(strsignal(p.signal));
  }
  if (p.end == ProbeEnd::Exited) {
    json.key("exitCode");
    json.number(p.exitCode);
  }
  if (p.end == ProbeEnd::Failed) {
    json.key("failure");
    json.string(p.failure);
  }
  json.endObject();
}

void writeLoad(JsonWriter& json, const ModuleProbe& p) {
  json.key("load");
  if (!p.loadReturned) {
    json.null();
    return;
  }
  const _LoadParmsOut& o = p.loadOut;
  json.beginObject();
  json.key("return");
  json.number(p.loadResult);
  json.key("error");
  json.number(o.error);
  json.key("moduleId");
  json.number(o.moduleId);
  json.key("moduleIdHex");
  json.string(hex32(o.moduleId));
  json.key("masks");
  json.beginArray();
  for (uint32_t mask : o.masks) json.number(mask);
  json.endArray();
  json.key("ioctlOnLoad");
  json.number(o.ioctlOnLoad);
  json.key("hasReader");
  json.number(o.hasReader);
  json.key("acceptsEvents");
  json.number(o.acceptsEvents);
  json.key("timeMs");
  json.number(p.loadTimeMs);
  json.endObject();
}

void writeEvent(JsonWriter& json, const EventSummary& e) {
  json.beginObject();
  json.key("phase");
  json.string(phaseName(e.phase));
  json.key("source");
  json.number(e.sourceId);
  json.key("flags");
  json.number(e.flags);
  json.key("class");
  json.number(e.eventClass);
  json.key("handle");
  json.number(e.requestHandle);
  json.key("dataSize");
  json.number(e.dataSize);
  json.key("registration");
  json.number(e.registration);
  json.key("data");
  json.boolean(e.hasData != 0);
  if (e.hasData != 0) {
    json.key("previewHex");
    json.string(previewHex(e));
    if (previewIsText(e)) {
      json.key("previewText");
      json.string(previewText(e));
    }
    json.key("previewCut");
    json.boolean(e.previewLength < e.dataSize);
  }
  json.endObject();
}

void writeModule(JsonWriter& json, const JudgedModule& m) {
  const ModuleProbe& p = m.probe;
  json.beginObject();
  json.key("file");
  json.string(p.fileName);
  json.key("path");
  json.string(p.path);
  writeProbeEnd(json, p);
  json.key("loads");
  if (p.openReported)
    json.boolean(p.loads);
  else
    json.null();
  json.key("loaderError");
  if (p.openReported && !p.loads)
    json.string(p.loaderError);
  else
    json.null();
  json.key("entryPoints");
  json.beginArray();
  for (int i = 0; i < ENTRY_COUNT; ++i)
    if (p.exports(i)) json.string(ENTRY_NAMES[i]);
  json.endArray();
  writeLoad(json, p);
  json.key("events");
  json.beginArray();
  for (const EventSummary& e : p.events) writeEvent(json, e);
  json.endArray();
  json.key("eventsNotListed");
  json.number(p.eventsNotListed);
  json.key("verdict");
  json.string(verdictName(m.verdict));
  json.key("serviceMessage");
  if (m.serviceMessage.empty())
    json.null();
  else
    json.string(m.serviceMessage);
  json.key("serviceLevel");
  if (m.serviceMessage.empty())
    json.null();
  else
    json.string(m.serviceError ? "error" : "warning");
  json.endObject();
}

}  // namespace

std::string jsonReport(const LoadPassReport& report, const InspectOptions& options) {
  JsonWriter json;
  json.beginObject();
  json.key("directory");
  if (options.useDirectory)
    json.string(options.directory);
  else
    json.null();
  json.key("timeoutMs");
  json.number(options.timeoutMs);
  json.key("modules");
  json.beginArray();
  for (const JudgedModule& m : report.modules) writeModule(json, m);
  json.endArray();
  json.key("tableOrder");
  json.beginArray();
  for (const std::string& name : report.tableOrder) json.string(name);
  json.endArray();
  json.key("closeOrder");
  json.beginArray();
  for (const ClosingModule& c : report.closeOrder) {
    json.beginObject();
    json.key("file");
    json.string(c.fileName);
    json.key("mask5");
    json.number(c.mask5);
    json.endObject();
  }
  json.endArray();
  json.key("allAccepted");
  json.boolean(report.allAccepted());
  json.endObject();
  return json.text();
}
