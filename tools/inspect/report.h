// report.h - the inspector's two report forms: text for people, JSON for
// scripts. Both show the same facts about the same load pass.
#ifndef SELVAR_TOOLS_INSPECT_REPORT_H
#define SELVAR_TOOLS_INSPECT_REPORT_H

#include <string>

#include "tools/inspect/inspect_options.h"
#include "tools/inspect/load_pass.h"

std::string textReport(const LoadPassReport& report, const InspectOptions& options);
std::string jsonReport(const LoadPassReport& report, const InspectOptions& options);

// Helpers shared by both forms.
std::string hex32(uint32_t value);                   // 0x0000ABCD
bool previewIsText(const EventSummary& event);       // printable, or \t \n \r
std::string previewText(const EventSummary& event);  // the preview bytes
std::string previewHex(const EventSummary& event);   // lower-case hex, no blanks
const char* phaseName(uint8_t phase);                // "open", "load", "after-load"

#endif  // SELVAR_TOOLS_INSPECT_REPORT_H
