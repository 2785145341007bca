// The human-readable report: one block per module, then the load pass.
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tools/inspect/report.h"

namespace {

const char* const ENTRY_NAMES[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;

void line(std::ostream& out, const char* label, const std::string& text) {
  out << "  " << label << std::string(16 - strlen(label), ' ') << text << "\n";
}

std::string stage(const ModuleProbe& probe) {
  return probe.openReported ? "in Load" : "while the library was being loaded";
}

std::string entryPoints(const ModuleProbe& probe) {
  std::string present;
  std::string missing;
  for (int i = 0; i < ENTRY_COUNT; ++i) {
    std::string& list = probe.exports(i) ? present : missing;
    list += (list.empty() ? "" : " ") + std::string(ENTRY_NAMES[i]);
  }
  if (present.empty()) present = "none";
  return missing.empty() ? present : present + "  (not exported: " + missing + ")";
}

void writeLoadResult(std::ostream& out, const ModuleProbe& probe) {
  const _LoadParmsOut& o = probe.loadOut;
  line(out, "Load", "returned " + std::to_string(probe.loadResult) + ", error " + std::to_string(o.error) +
                        ", took " + std::to_string(probe.loadTimeMs) + " ms");
  line(out, "moduleId", hex32(o.moduleId));
  for (int row = 0; row < 3; ++row) {
    std::string text;
    for (int k = row * 3; k < row * 3 + 3; ++k)
      text += (k % 3 ? "  " : "") + std::to_string(k) + " " + hex32(o.masks[k]);
    line(out, row == 0 ? "masks" : "", text);
  }
  line(out, "flags", "ioctlOnLoad " + std::to_string(o.ioctlOnLoad) + "  hasReader " + std::to_string(o.hasReader) +
                         "  acceptsEvents " + std::to_string(o.acceptsEvents));
}

void writeEvents(std::ostream& out, const ModuleProbe& probe) {
  const size_t total = probe.events.size() + probe.eventsNotListed;
  if (total == 0) {
    line(out, "events", "none submitted");
    return;
  }
  line(out, "events", std::to_string(total) + " submitted, each answered EVR_OK and not routed:");
  for (const EventSummary& e : probe.events) {
    std::string text = "source " + hex32(e.sourceId) + " flags " + hex32(e.flags) + " class " + hex32(e.eventClass) +
                       " handle " + hex32(e.requestHandle) + " dataSize " + std::to_string(e.dataSize);
    if (e.registration != 0) text += " registration " + std::to_string(e.registration);
    if (e.hasData == 0)
      text += " data NULL";
    else if (previewIsText(e))
      text += " text \"" + previewText(e) + "\"";
    else
      text += " hex " + previewHex(e);
    if (e.hasData != 0 && e.previewLength < e.dataSize) text += "...";
    if (e.phase != static_cast<uint8_t>(EventPhase::Load)) text += std::string(" [") + phaseName(e.phase) + "]";
    line(out, "", text);
  }
  if (probe.eventsNotListed != 0) line(out, "", "... and " + std::to_string(probe.eventsNotListed) + " more");
}

std::string seconds(int ms) {
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "%g s", ms / 1000.0);
  return buffer;
}

std::string serviceSays(const JudgedModule& m) {
  return std::string("; the service logs (") + (m.serviceError ? "error" : "warning") + "): " + m.serviceMessage;
}

std::string verdictText(const JudgedModule& m, int timeoutMs) {
  const ModuleProbe& p = m.probe;
  switch (m.verdict) {
    case Verdict::Accepted: return "accepted";
    case Verdict::Refused: return "refused" + serviceSays(m);
    case Verdict::DuplicateId: return "dropped, duplicate ID" + serviceSays(m);
    case Verdict::ReservedId: return "dropped, reserved ID" + serviceSays(m);
    case Verdict::NoLoadEntry: return "dropped silently: no Load entry point";
    case Verdict::NotLoadable: return "dropped" + serviceSays(m);
    case Verdict::Untrusted: return "refused, not loaded" + serviceSays(m);
    case Verdict::Missing: return "missing: no such file";
    case Verdict::Crashed:
      return "crashed " + stage(p) + ": signal " + std::to_string(p.signal) + " (" + strsignal(p.signal) +
             "); the service would go down with it";
    case Verdict::TimedOut:
      return "timed out " + stage(p) + ": still running after " + seconds(timeoutMs) +
             ", killed; the service's load pass would hang here";
    case Verdict::Exited:
      return "ended the process " + stage(p) + " (exit status " + std::to_string(p.exitCode) +
             "); the service would end with it";
    case Verdict::ProbeFailed: return "not inspected: " + p.failure;
  }
  return "";
}

void writeModule(std::ostream& out, const JudgedModule& m, int timeoutMs) {
  const ModuleProbe& p = m.probe;
  out << p.fileName << "  (" << p.path << ")\n";
  if (p.openReported) {
    line(out, "shared object", p.loads ? "loads" : "does not load: " + p.loaderError);
    if (p.loads) line(out, "entry points", entryPoints(p));
  }
  if (p.loadReturned) writeLoadResult(out, p);
  if ((p.loads && p.exports(ENTRY_LOAD)) || !p.events.empty()) writeEvents(out, p);
  line(out, "verdict", verdictText(m, timeoutMs));
  out << "\n";
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "(empty)" : text;
}

}  // namespace

std::string textReport(const LoadPassReport& report, const InspectOptions& options) {
  std::ostringstream out;
  if (options.useDirectory)
    out << "Directory " << options.directory << ": " << report.modules.size() << " module file(s)\n\n";
  for (const JudgedModule& m : report.modules) writeModule(out, m, options.timeoutMs);

  out << "Load pass\n";
  line(out, "accepted", std::to_string(report.tableOrder.size()) + " of " + std::to_string(report.modules.size()));
  line(out, "table order", joined(report.tableOrder));
  std::string closing;
  bool tie = false;
  for (size_t i = 0; i < report.closeOrder.size(); ++i) {
    const ClosingModule& c = report.closeOrder[i];
    closing += (i ? ", " : "") + c.fileName + " (mask 5 " + hex32(c.mask5) + ")";
    if (i > 0 && report.closeOrder[i - 1].mask5 == c.mask5) tie = true;
  }
  line(out, "close order", closing.empty() ? "(empty)" : closing);
  if (tie) line(out, "", "modules with equal mask 5 close in no fixed order");
  return out.str();
}
