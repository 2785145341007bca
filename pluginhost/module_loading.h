// module_loading.h - the steps of loading one module, shared by the service's
// load pass and the module inspector so their verdicts cannot drift apart.
//
// discoverModules lists what the load pass tries; openModuleLibrary and
// callModuleLoad load a file and call its Load exactly as the service does;
// judgeLoad applies the acceptance rules and gives the service's message.
// Main thread (or the inspector's child process) only.
#ifndef SELVAR_PLUGINHOST_MODULE_LOADING_H
#define SELVAR_PLUGINHOST_MODULE_LOADING_H

#include <wx/arrstr.h>
#include <wx/string.h>

#include <cstdint>
#include <set>
#include <vector>

#include "pluginhost/plugin_info.h"

// File names (no directory) of the module files in directory, in listing
// order: "*.so", regular files only, no hidden files. False when the
// directory cannot be opened.
bool discoverModules(const wxString& directory, wxArrayString* names);

// Why path cannot be a module file, as the load pass says it ("is not a
// regular file", "cannot be read (reason)"); empty when it resolves to a
// regular file. Opening a FIFO would block for good, so nothing else is
// ever handed to the system's loader.
wxString moduleFileProblem(const wxString& path);

// A module runs as the service's own code, so only files that no other user
// can change are trusted: owned by root or by the service's user, and not
// writable by group or others (the target of a link is what is checked).
bool isTrustedPath(const wxString& path);

// Loads path verbatim into a new library in info and resolves the eight entry
// points (missing ones are null). False when it does not load as a shared
// object; the framework logs the loader's error unless quiet. A path with a
// moduleFileProblem is not tried (false, nothing logged).
bool openModuleLibrary(const wxString& path, _PlugInInfo& info, bool quiet);

// Unloads and deletes info's library.
void closeModuleLibrary(_PlugInInfo& info);

// Calls Load with the service's input block (size, version 3, core, entry)
// and a zero-filled output block; records loadTime. Returns Load's result.
int32_t callModuleLoad(_PlugInInfo& info, void* core, FlatPluginEventFn entry, _LoadParmsOut* out);

enum LoadVerdict {
  LOAD_ACCEPTED = 0,
  LOAD_NO_ENTRY,      // no "Load": dropped silently
  LOAD_REFUSED,       // Load returned non-zero or set error
  LOAD_DUPLICATE_ID,  // moduleId already taken by an accepted module
  LOAD_RESERVED_ID    // moduleId is the service's own
};

// The load pass's decision for a module whose Load returned result and out,
// given the IDs accepted before it. message receives the log text the
// service writes (empty when it writes none); isError tells its level
// (error, else warning).
LoadVerdict judgeLoad(const wxString& fileName, int32_t result, const _LoadParmsOut& out,
                      const std::set<uint32_t>& acceptedIds, wxString* message, bool* isError);

// Puts an accepted module into the table: appended, except that the module
// with ID PLUGIN_ID_FIRST goes in front.
void placeAcceptedModule(std::vector<_PlugInInfo>& table, const _PlugInInfo& info);

#endif  // SELVAR_PLUGINHOST_MODULE_LOADING_H
