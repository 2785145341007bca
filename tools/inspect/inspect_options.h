// inspect_options.h - the inspector's command line.
//
//   Selvar-inspect [--json] [--timeout SECONDS] FILE.so...
//   Selvar-inspect [--json] [--timeout SECONDS] --dir PLUGINS_DIR
#ifndef SELVAR_TOOLS_INSPECT_INSPECT_OPTIONS_H
#define SELVAR_TOOLS_INSPECT_INSPECT_OPTIONS_H

#include <string>
#include <vector>

struct InspectOptions {
  bool json = false;
  bool help = false;
  bool useDirectory = false;
  std::string directory;
  std::vector<std::string> files;
  int timeoutMs = 5000;
};

// False on a usage error, with the reason in error.
bool parseOptions(int argc, const char* const* argv, InspectOptions* options, std::string* error);

const char* usageText();

#endif  // SELVAR_TOOLS_INSPECT_INSPECT_OPTIONS_H
