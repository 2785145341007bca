// plugin_info.h - the service's record of one accepted module.
//
// Held by value in ServiceCore::modules. Copies share the library pointer;
// the load pass creates the library and the unload pass deletes it. The three
// thread fields are references to self-deleting call threads: the core only
// stores them and clears them at shutdown, it never follows them.
#ifndef SELVAR_PLUGINHOST_PLUGIN_INFO_H
#define SELVAR_PLUGINHOST_PLUGIN_INFO_H

#include <wx/dynlib.h>
#include <wx/string.h>

#include <cstdint>
#include <memory>

#include "housekeeping/service_figures.h"
#include "pluginhost/plugin_interface.h"

class PluginThread;

struct _PlugInInfo {
  wxDynamicLibrary* library = nullptr;
  PluginEntryPoint fnLoad = nullptr;
  PluginEntryPoint fnUnload = nullptr;
  PluginEntryPoint fnOpen = nullptr;
  PluginEntryPoint fnClose = nullptr;
  PluginEntryPoint fnRead = nullptr;
  PluginEntryPoint fnWrite = nullptr;
  PluginEntryPoint fnSeek = nullptr;
  PluginEntryPoint fnIOCTL = nullptr;
  PluginThread* ioctlThread = nullptr;
  PluginThread* readThread = nullptr;
  PluginThread* writeThread = nullptr;
  _LoadParmsOut loadInfo = {};
  wxString fileName;
  int32_t openCode = 0;
  int64_t loadTime = 0;  // ms
  int64_t openTime = 0;  // ms
  // What the service counts about this module; copies of the record share it.
  std::shared_ptr<ModuleFigures> figures = std::make_shared<ModuleFigures>();

  uint32_t moduleId() const { return loadInfo.moduleId; }

  // True when any mask selected by flags contains every bit of pattern.
  // Called for every module on every queued event: only the masks whose
  // flag bit is set are visited (bits 0..7 select masks 0..7, EVF_MASK8
  // selects mask 8).
  bool matches(uint32_t flags, uint32_t pattern) const {
    uint32_t selected = (flags & 0xFFu) | ((flags & EVF_MASK8) != 0 ? 0x100u : 0u);
    while (selected != 0) {
      const int k = __builtin_ctz(selected);
      if ((pattern & loadInfo.masks[k]) == pattern) return true;
      selected &= selected - 1;
    }
    return false;
  }
};

// Close order: the larger mask 5 (flag bit 0x20) first, unsigned.
bool compare_watchdogServices(const _PlugInInfo& a, const _PlugInInfo& b);

#endif  // SELVAR_PLUGINHOST_PLUGIN_INFO_H
