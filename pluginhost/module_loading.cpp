#include "pluginhost/module_loading.h"

#include "compat/monotonic_clock.h"
#include "pluginhost/call_blocks.h"
#include "pluginhost/module_calls.h"

#include <wx/dir.h>
#include <wx/log.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
}  // namespace

bool discoverModules(const wxString& directory, wxArrayString* names) {
  names->clear();
  if (!wxDir::Exists(directory)) return false;
  wxDir dir(directory);
  if (!dir.IsOpened()) return false;
  wxString name;
  for (bool more = dir.GetFirst(&name, "*.so", wxDIR_FILES); more; more = dir.GetNext(&name)) names->push_back(name);
  return true;
}

wxString moduleFileProblem(const wxString& path) {
  struct stat info;
  if (stat(path.fn_str(), &info) != 0) return wxString::Format("cannot be read (%s)", strerror(errno));
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  return wxString();
}

bool isTrustedPath(const wxString& path) {
  struct stat info;
  if (stat(path.fn_str(), &info) != 0) return false;
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool openModuleLibrary(const wxString& path, _PlugInInfo& info, bool quiet) {
  if (!moduleFileProblem(path).empty()) return false;
  info.library = new wxDynamicLibrary();
  bool loaded;
  if (quiet) {
    wxLogNull silence;
    loaded = info.library->Load(path, wxDL_VERBATIM);
  } else {
    loaded = info.library->Load(path, wxDL_VERBATIM);
  }
  if (!loaded) {
    delete info.library;
    info.library = nullptr;
    return false;
  }
  static const char* const names[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;
  PluginEntryPoint* targets[ENTRY_COUNT] = {&info.fnLoad, &info.fnUnload, &info.fnOpen,  &info.fnClose,
                                          &info.fnRead, &info.fnWrite,  &info.fnSeek, &info.fnIOCTL};
  wxLogNull silence;  // a missing entry point is normal, not an error
  for (int i = 0; i < ENTRY_COUNT; ++i)
    *targets[i] = reinterpret_cast<PluginEntryPoint>(info.library->GetSymbol(names[i]));
  return true;
}

void closeModuleLibrary(_PlugInInfo& info) {
  if (info.library == nullptr) return;
  forgetModule(info.library);
  info.library->Unload();
  delete info.library;
  info.library = nullptr;
}

int32_t callModuleLoad(_PlugInInfo& info, void* core, FlatPluginEventFn entry, _LoadParmsOut* out) {
  _LoadParmsIn in;
  initCallBlock(&in, 3);
  initCallBlock(out);
  in.core = core;
  in.eventEntry = entry;
  const int64_t before = monotonicMs();
  int32_t result;
  {
    LocalModuleCall call(info.library, "Load");
    result = info.fnLoad(&in, out);
  }
  info.loadTime = monotonicMs() - before;
  return result;
}

LoadVerdict judgeLoad(const wxString& fileName, int32_t result, const _LoadParmsOut& out,
                      const std::set<uint32_t>& acceptedIds, wxString* message, bool* isError) {
  message->clear();
  *isError = false;
  if (result != 0 || out.error != 0) {
    *message = wxString::Format("plugin %s load returned %d error %d", fileName, static_cast<int>(result),
                                static_cast<int>(out.error));
    *isError = true;
    return LOAD_REFUSED;
  }
  if (acceptedIds.count(out.moduleId) != 0) {
    *message = wxString::Format("plugin %s ID 0x%08lX already loaded", fileName,
                                static_cast<unsigned long>(out.moduleId));
    return LOAD_DUPLICATE_ID;
  }
  if (out.moduleId == EVENT_SOURCE_CORE) {
    // The service's own ID: the module's holds on payloads could not be told
    // from the dispatch thread's, and a payload could be freed under it.
    *message = wxString::Format("plugin %s ID 0x%08lX is reserved for the service", fileName,
                                static_cast<unsigned long>(out.moduleId));
    return LOAD_RESERVED_ID;
  }
  return LOAD_ACCEPTED;
}

void placeAcceptedModule(std::vector<_PlugInInfo>& table, const _PlugInInfo& info) {
  if (info.moduleId() == PLUGIN_ID_FIRST && !table.empty())
    table.insert(table.begin(), info);
  else
    table.push_back(info);
}
