// The load pass over probe results: the same decisions, in the same order, as
// ServiceCore::loadModules and closeModules, from the functions they use.
#include "tools/inspect/load_pass.h"

#include <algorithm>
#include <set>

#include "pluginhost/module_loading.h"
#include "pluginhost/plugin_info.h"

namespace {

Verdict fromLoadVerdict(LoadVerdict verdict) {
  switch (verdict) {
    case LOAD_ACCEPTED: return Verdict::Accepted;
    case LOAD_NO_ENTRY: return Verdict::NoLoadEntry;
    case LOAD_REFUSED: return Verdict::Refused;
    case LOAD_DUPLICATE_ID: return Verdict::DuplicateId;
    case LOAD_RESERVED_ID: return Verdict::ReservedId;
  }
  return Verdict::ProbeFailed;
}

// How the probe ended when the module itself ended it; Finished otherwise.
Verdict fromProbeEnd(ProbeEnd end) {
  switch (end) {
    case ProbeEnd::Crashed: return Verdict::Crashed;
    case ProbeEnd::TimedOut: return Verdict::TimedOut;
    case ProbeEnd::Exited: return Verdict::Exited;
    case ProbeEnd::Failed: return Verdict::ProbeFailed;
    case ProbeEnd::Finished:
    case ProbeEnd::NotRun:  // the verdict came from the file itself, before any probe
      break;
  }
  return Verdict::Accepted;
}

}  // namespace

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Accepted: return "accepted";
    case Verdict::Refused: return "refused";
    case Verdict::DuplicateId: return "duplicate-id";
    case Verdict::ReservedId: return "reserved-id";
    case Verdict::NoLoadEntry: return "no-load-entry";
    case Verdict::NotLoadable: return "not-loadable";
    case Verdict::Untrusted: return "untrusted";
    case Verdict::Missing: return "missing";
    case Verdict::Crashed: return "crashed";
    case Verdict::TimedOut: return "timed-out";
    case Verdict::Exited: return "exited";
    case Verdict::ProbeFailed: return "probe-failed";
  }
  return "probe-failed";
}

bool LoadPassReport::allAccepted() const {
  return std::all_of(modules.begin(), modules.end(),
                     [](const JudgedModule& m) { return m.verdict == Verdict::Accepted; });
}

LoadPassReport judgeLoadPass(const std::vector<ModuleProbe>& probes, const std::string& directory) {
  LoadPassReport report;
  std::set<uint32_t> ids;
  std::vector<_PlugInInfo> table;
  for (const ModuleProbe& probe : probes) {
    JudgedModule judged;
    judged.probe = probe;
    const Verdict ended = fromProbeEnd(probe.end);
    if (!probe.directoryTrusted) {
      // The service checks its plugins directory before any module in it.
      judged.verdict = Verdict::Untrusted;
      judged.serviceMessage = "plugins directory " + directory + " may be changed by other users; no module is loaded";
      judged.serviceError = true;
    } else if (!probe.exists) {
      judged.verdict = Verdict::Missing;
    } else if (!probe.trusted) {
      // The service checks ownership and permissions before it loads anything.
      judged.verdict = Verdict::Untrusted;
      judged.serviceMessage = "plugin " + probe.fileName + " may be changed by other users; not loaded";
      judged.serviceError = true;
    } else if (ended != Verdict::Accepted) {
      judged.verdict = ended;
    } else if (!probe.loads) {
      // The framework's loader logs its own error text.
      judged.verdict = Verdict::NotLoadable;
      judged.serviceMessage = probe.loaderError;
      judged.serviceError = true;
    } else if (!probe.exports(ENTRY_LOAD)) {
      judged.verdict = Verdict::NoLoadEntry;
    } else {
      wxString message;
      bool isError = false;
      const LoadVerdict verdict = judgeLoad(wxString::FromUTF8(probe.fileName.c_str()), probe.loadResult,
                                            probe.loadOut, ids, &message, &isError);
      judged.verdict = fromLoadVerdict(verdict);
      judged.serviceMessage = message.utf8_str().data();
      judged.serviceError = isError;
      if (verdict == LOAD_ACCEPTED) {
        ids.insert(probe.loadOut.moduleId);
        _PlugInInfo info;
        info.fileName = wxString::FromUTF8(probe.fileName.c_str());
        info.loadInfo = probe.loadOut;
        placeAcceptedModule(table, info);
      }
    }
    report.modules.push_back(judged);
  }
  for (const _PlugInInfo& info : table) report.tableOrder.push_back(info.fileName.utf8_str().data());
  std::sort(table.begin(), table.end(), compare_watchdogServices);
  for (const _PlugInInfo& info : table)
    report.closeOrder.push_back({info.fileName.utf8_str().data(), info.loadInfo.masks[5]});
  return report;
}
