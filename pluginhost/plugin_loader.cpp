// The four module passes: load, open, close, unload. Main thread only.
#include <wx/datetime.h>
#include <wx/dir.h>
#include <wx/dynlib.h>
#include <wx/log.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "core/service_core.h"
#include "pluginhost/plugin_thread.h"

namespace {

// How long the unload pass waits for a module's running call threads before
// it gives up on unloading that module's library.
const int PLUGIN_UNLOAD_WAIT_MS = 10000;

int64_t nowMs() { return wxDateTime::UNow().GetValue().GetValue(); }

void resolveEntries(_PlugInInfo& info) {
  static const char* const names[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;
  PluginEntryPoint* slots[ENTRY_COUNT] = {&info.fnLoad, &info.fnUnload, &info.fnOpen,  &info.fnClose,
                                          &info.fnRead, &info.fnWrite,  &info.fnSeek, &info.fnIOCTL};
  for (int i = 0; i < ENTRY_COUNT; ++i)
    *slots[i] = reinterpret_cast<PluginEntryPoint>(info.library->GetSymbol(names[i]));
}

void dropLibrary(_PlugInInfo& info) {
  info.library->Unload();
  delete info.library;
  info.library = nullptr;
}

}  // namespace

wxString ServiceCore::pluginDirectory() const { return executablePath.GetPath() + "/plugins"; }

bool ServiceCore::loadModules() {
  const wxString directory = pluginDirectory();
  if (!wxDir::Exists(directory)) return false;
  wxDir dir(directory);
  if (!dir.IsOpened()) return false;

  std::set<uint32_t> ids;
  wxString name;
  for (bool more = dir.GetFirst(&name, "*.so", wxDIR_FILES); more; more = dir.GetNext(&name)) {
    _PlugInInfo info;
    info.fileName = name;
    info.openCode = 0;
    info.loadTime = info.openTime = 0;
    info.library = new wxDynamicLibrary();
    if (!info.library->Load(directory + "/" + name, wxDL_VERBATIM)) {
      delete info.library;
      continue;
    }
    {
      wxLogNull quiet;  // a missing entry point is normal, not an error
      resolveEntries(info);
    }
    if (info.fnLoad == nullptr) {
      dropLibrary(info);
      continue;
    }

    _LoadParmsIn in;
    _LoadParmsOut out;
    memset(&in, 0, sizeof(in));
    memset(&out, 0, sizeof(out));
    in.size = sizeof(in);
    in.version = 3;
    in.core = this;
    in.eventEntry = &FlatPluginEvent;
    out.size = sizeof(out);
    out.version = 1;
    const int64_t before = nowMs();
    const int32_t result = info.fnLoad(&in, &out);
    info.loadTime = nowMs() - before;

    if (result != 0 || out.error != 0) {
      wxLogError("plugin %s load returned %d error %d", info.fileName, static_cast<int>(result),
                 static_cast<int>(out.error));
      dropLibrary(info);
      continue;
    }
    if (ids.count(out.moduleId) != 0) {
      wxLogWarning("plugin %s ID 0x%08lX already loaded", info.fileName, static_cast<unsigned long>(out.moduleId));
      dropLibrary(info);
      continue;
    }
    if (out.moduleId == EVENT_SOURCE_CORE) {
      // The service's own ID: the module's holds on payloads could not be
      // told from the dispatch thread's, and a payload could be freed under it.
      wxLogWarning("plugin %s ID 0x%08lX is reserved for the service", info.fileName,
                   static_cast<unsigned long>(out.moduleId));
      dropLibrary(info);
      continue;
    }

    ids.insert(out.moduleId);
    info.loadInfo = out;
    info.ioctlThread = nullptr;
    if (out.ioctlOnLoad != 0) startIoctlCall(this, info);
    info.readThread = nullptr;
    info.writeThread = nullptr;
    if (out.moduleId == PLUGIN_ID_FIRST && !modules.empty())
      modules.insert(modules.begin(), info);
    else
      modules.push_back(info);
  }
  return true;
}

void ServiceCore::openModules() {
  for (size_t i = 0; i < modules.size(); ++i) {
    _PlugInInfo& info = modules[i];
    if (info.library == nullptr || info.fnOpen == nullptr) continue;
    _OpenParmsIn in;
    _OpenParmsOut out;
    memset(&in, 0, sizeof(in));
    memset(&out, 0, sizeof(out));
    in.size = sizeof(in);
    in.version = 1;
    out.size = sizeof(out);
    out.version = 1;
    const int64_t before = nowMs();
    const int32_t result = info.fnOpen(&in, &out);
    info.openTime = nowMs() - before;
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
    if (info.fnClose == nullptr) continue;
    _CloseParmsIn in;
    _CloseParmsOut out;
    memset(&in, 0, sizeof(in));
    memset(&out, 0, sizeof(out));
    in.size = sizeof(in);
    in.version = 1;
    out.size = sizeof(out);
    out.version = 1;
    info.fnClose(&in, &out);
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
    if (info.fnUnload != nullptr) {
      _UnloadParmsIn in;
      _UnloadParmsOut out;
      memset(&in, 0, sizeof(in));
      memset(&out, 0, sizeof(out));
      in.size = sizeof(in);
      in.version = 1;
      out.size = sizeof(out);
      out.version = 1;
      info.fnUnload(&in, &out);
    }
    dropLibrary(info);
  }
  modules.clear();
  return true;
}
