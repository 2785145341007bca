// Command-line parsing for Selvar-inspect.
#include "tools/inspect/inspect_options.h"

#include <getopt.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

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
  return "usage: Selvar-inspect [--json] [--timeout SECONDS] [--] FILE.so...\n"
         "       Selvar-inspect [--json] [--timeout SECONDS] --dir PLUGINS_DIR\n"
         "Loads each module in a child process as the service would, calls its Load\n"
         "and reports what the service's load pass would make of it.\n"
         "  --json             one JSON document on stdout\n"
         "  --timeout SECONDS  time allowed per module (default 5; also --timeout=SECONDS)\n"
         "  --dir DIR          every module of DIR, in the service's order\n"
         "Exit status: 0 every module accepted, 1 otherwise, 2 usage error.\n";
}

bool parseOptions(int argc, const char* const* argv, InspectOptions* options, std::string* error) {
  *options = InspectOptions();
  static const struct option longOptions[] = {{"json", no_argument, nullptr, 'j'},
                                              {"help", no_argument, nullptr, 'h'},
                                              {"dir", required_argument, nullptr, 'd'},
                                              {"timeout", required_argument, nullptr, 't'},
                                              {nullptr, 0, nullptr, 0}};
  // getopt_long permutes the pointers, never the strings: options may come
  // after file names, and "--" ends them.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  opterr = 0;
  optind = 0;  // a fresh scan on every call
  for (;;) {
    const int c = getopt_long(argc, args.data(), "h", longOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'j': options->json = true; break;
      case 'h': options->help = true; break;
      case 't':
        if (!parseSeconds(optarg, &options->timeoutMs)) {
          *error = std::string("bad --timeout value: ") + optarg;
          return false;
        }
        break;
      case 'd':
        if (options->useDirectory) {
          *error = "--dir given twice";
          return false;
        }
        options->useDirectory = true;
        options->directory = optarg;
        break;
      default: {
        const char* arg = args[optind - 1];
        if (optopt == 'd' || optopt == 't')
          *error = std::string(arg) + " needs a value";
        else
          *error = std::string("unknown option: ") + arg;
        return false;
      }
    }
  }
  for (int i = optind; i < argc; ++i) options->files.push_back(args[i]);
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
