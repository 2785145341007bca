// Command-line parsing for Selvar-inspect.
#include "tools/inspect/inspect_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool parseSeconds(const char* text, int* ms) {
  char* end = nullptr;
  const double seconds = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600) return false;
  *ms = static_cast<int>(std::lround(seconds * 1000));
  return *ms > 0;
}

}  // namespace

const char* usageText() {
  return "usage: Selvar-inspect [--json] [--timeout SECONDS] FILE.so...\n"
         "       Selvar-inspect [--json] [--timeout SECONDS] --dir PLUGINS_DIR\n"
         "Loads each module in a child process as the service would, calls its Load\n"
         "and reports what the service's load pass would make of it.\n"
         "  --json             one JSON document on stdout\n"
         "  --timeout SECONDS  time allowed per module (default 5)\n"
         "  --dir DIR          every module of DIR, in the service's order\n"
         "Exit status: 0 every module accepted, 1 otherwise, 2 usage error.\n";
}

bool parseOptions(int argc, const char* const* argv, InspectOptions* options, std::string* error) {
  *options = InspectOptions();
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (onlyFiles || arg[0] != '-' || strcmp(arg, "-") == 0) {
      options->files.push_back(arg);
    } else if (strcmp(arg, "--") == 0) {
      onlyFiles = true;
    } else if (strcmp(arg, "--json") == 0) {
      options->json = true;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      options->help = true;
    } else if (strcmp(arg, "--dir") == 0 || strcmp(arg, "--timeout") == 0) {
      if (i + 1 >= argc) {
        *error = std::string(arg) + " needs a value";
        return false;
      }
      const char* value = argv[++i];
      if (strcmp(arg, "--timeout") == 0) {
        if (!parseSeconds(value, &options->timeoutMs)) {
          *error = std::string("bad --timeout value: ") + value;
          return false;
        }
      } else if (options->useDirectory) {
        *error = "--dir given twice";
        return false;
      } else {
        options->useDirectory = true;
        options->directory = value;
      }
    } else {
      *error = std::string("unknown option: ") + arg;
      return false;
    }
  }
  if (options->help) return true;
  if (options->useDirectory && !options->files.empty()) {
    *error = "give either --dir or files, not both";
    return false;
  }
  if (!options->useDirectory && options->files.empty()) {
    *error = "no module given";
    return false;
  }
  return true;
}
