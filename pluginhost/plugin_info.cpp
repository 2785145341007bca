#include "pluginhost/plugin_info.h"

bool compare_watchdogServices(const _PlugInInfo& a, const _PlugInInfo& b) {
  return a.loadInfo.masks[5] > b.loadInfo.masks[5];
}
