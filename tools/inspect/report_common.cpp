// Formatting helpers shared by the text and JSON reports.
#include <cstdio>

#include "tools/inspect/report.h"

std::string hex32(uint32_t value) {
  char buffer[16];
  snprintf(buffer, sizeof(buffer), "0x%08X", static_cast<unsigned>(value));
  return buffer;
}

bool previewIsText(const EventSummary& event) {
  for (int i = 0; i < event.previewLength; ++i) {
    const uint8_t c = event.preview[i];
    if ((c < 0x20 || c > 0x7E) && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

std::string previewText(const EventSummary& event) {
  return std::string(reinterpret_cast<const char*>(event.preview), event.previewLength);
}

std::string previewHex(const EventSummary& event) {
  std::string hex;
  char buffer[4];
  for (int i = 0; i < event.previewLength; ++i) {
    snprintf(buffer, sizeof(buffer), "%02x", event.preview[i]);
    hex += buffer;
  }
  return hex;
}

const char* phaseName(uint8_t phase) {
  switch (static_cast<EventPhase>(phase)) {
    case EventPhase::Opening: return "open";
    case EventPhase::Load: return "load";
    case EventPhase::AfterLoad: return "after-load";
  }
  return "unknown";
}
