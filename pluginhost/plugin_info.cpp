#include "pluginhost/plugin_info.h"

bool _PlugInInfo::matches(uint32_t flags, uint32_t pattern) const {
  for (int k = 0; k < PLUGIN_MASK_COUNT; ++k) {
    if ((flags & PLUGIN_MASK_FLAG(k)) != 0 && (pattern & loadInfo.masks[k]) == pattern) return true;
  }
  return false;
}

bool compare_watchdogServices(const _PlugInInfo& a, const _PlugInInfo& b) {
  return a.loadInfo.masks[5] > b.loadInfo.masks[5];
}
