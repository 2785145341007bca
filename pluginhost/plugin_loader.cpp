// The four module passes: load, open, close, unload. Main thread only.
#include <wx/log.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "compat/monotonic_clock.h"
#include "core/service_core.h"
#include "pluginhost/call_blocks.h"
#include "pluginhost/module_calls.h"
#include "pluginhost/module_loading.h"
#include "pluginhost/plugin_thread.h"

namespace {

// Calls an entry whose blocks carry nothing but their headers (Close,
// Unload); what it answers is not looked at.
template <typename In, typename Out>
void callWithEmptyBlocks(const _PlugInInfo& info, PluginEntryPoint entry, const char* name) {
  In in;
  Out out;
  initCallBlock(&in);
  initCallBlock(&out);
  LocalModuleCall call(info.library, name);
  entry(&in, &out);
}

// How long the unload pass waits for a module's running call threads before
// it gives up on unloading that module's library.
const int PLUGIN_UNLOAD_WAIT_MS = 10000;
}  // namespace

wxString ServiceCore::pluginDirectory() const { return executablePath.GetPath() + "/plugins"; }

bool ServiceCore::loadModules() {
  const wxString directory = pluginDirectory();
  wxArrayString names;
  if (!discoverModules(directory, &names)) return false;
  if (!isTrustedPath(directory)) {
    wxLogError("plugins directory %s may be changed by other users; no module is loaded", directory);
    return false;
  }

  std::set<uint32_t> ids;
  for (const wxString& name : names) {
    _PlugInInfo info;
    info.fileName = name;
    info.openCode = 0;
    info.loadTime = info.openTime = 0;
    const wxString path = directory + "/" + name;
    // Checked before trust, so that a link to nothing is named as such.
    const wxString problem = moduleFileProblem(path);
    if (!problem.empty()) {
      wxLogError("plugin %s %s; not loaded", name, problem);
      continue;
    }
    if (!isTrustedPath(path)) {
      wxLogError("plugin %s may be changed by other users; not loaded", name);
      continue;
    }
    // A file that is not a shared object is logged by the framework's loader.
    if (!openModuleLibrary(path, info, false)) continue;
    if (info.fnLoad == nullptr) {
      closeModuleLibrary(info);
      continue;
    }
    // From here on a crash inside the module is reported under its name.
    rememberModule(info.library, name, reinterpret_cast<const void*>(info.fnLoad));
    _LoadParmsOut out;
    const int32_t result = callModuleLoad(info, this, &FlatPluginEvent, &out);
    wxString message;
    bool isError = false;
    if (judgeLoad(info.fileName, result, out, ids, &message, &isError) != LOAD_ACCEPTED) {
      if (isError)
        wxLogError("%s", message);
      else
        wxLogWarning("%s", message);
      closeModuleLibrary(info);
      continue;
    }

    ids.insert(out.moduleId);
    info.loadInfo = out;
    info.ioctlThread = nullptr;
    if (out.ioctlOnLoad != 0) startIoctlCall(this, info);
    info.readThread = nullptr;
    info.writeThread = nullptr;
    placeAcceptedModule(modules, info);
  }
  return true;
}

void ServiceCore::openModules() {
  for (size_t i = 0; i < modules.size(); ++i) {
    _PlugInInfo& info = modules[i];
    if (info.library == nullptr || info.fnOpen == nullptr) continue;
    _OpenParmsIn in;
    _OpenParmsOut out;
    initCallBlock(&in);
    initCallBlock(&out);
    const int64_t before = monotonicMs();
    int32_t result;
    {
      LocalModuleCall call(info.library, "Open");
      result = info.fnOpen(&in, &out);
    }
    info.openTime = monotonicMs() - before;
    info.openCode = result;
  }
}

bool ServiceCore::closeModules() {
  // From here on no request walks the table, which is about to be reordered.
  setTableState(TABLE_CLOSED);
  std::sort(modules.begin(), modules.end(), compare_watchdogServices);
  for (size_t i = 0; i < modules.size(); ++i) {
    _PlugInInfo& info = modules[i];
    if (info.library == nullptr) continue;
    info.readThread = nullptr;
    info.writeThread = nullptr;
    if (info.fnClose != nullptr) callWithEmptyBlocks<_CloseParmsIn, _CloseParmsOut>(info, info.fnClose, "Close");
  }
  return true;
}

bool ServiceCore::unloadModules() {
  setTableState(TABLE_CLOSED);
  for (size_t i = 0; i < modules.size(); ++i) {
    _PlugInInfo& info = modules[i];
    if (info.library == nullptr) continue;
    info.ioctlThread = nullptr;
    // No call thread may be inside the module when its library goes.
    if (!callTracker.waitIdle(info.library, PLUGIN_UNLOAD_WAIT_MS)) {
      wxLogWarning("plugin %s still has %d calls running; its library stays loaded", info.fileName,
                   callTracker.liveCalls(info.library));
      continue;
    }
    if (info.fnUnload != nullptr)
      callWithEmptyBlocks<_UnloadParmsIn, _UnloadParmsOut>(info, info.fnUnload, "Unload");
    closeModuleLibrary(info);
  }
  modules.clear();
  return true;
}
