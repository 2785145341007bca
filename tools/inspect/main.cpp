// Selvar-inspect: tells a module author what the service would make of a
// module file, or of a whole plugins directory, without running the service.
// Each module is loaded and its Load called in a child process of its own.
#include <signal.h>

#include <wx/init.h>

#include <iostream>

#include "pluginhost/module_loading.h"
#include "tools/inspect/inspect_options.h"
#include "tools/inspect/load_pass.h"
#include "tools/inspect/probe_runner.h"
#include "tools/inspect/report.h"

namespace {

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  InspectOptions options;
  std::string error;
  if (!parseOptions(argc, argv, &options, &error)) {
    std::cerr << "Selvar-inspect: " << error << "\n" << usageText();
    return 2;
  }
  if (options.help) {
    std::cout << usageText();
    return 0;
  }
  wxInitializer framework;
  if (!framework.IsOk()) {
    std::cerr << "Selvar-inspect: the framework failed to start\n";
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  std::vector<ModuleProbe> probes;
  if (options.useDirectory) {
    wxArrayString names;
    const wxString directory(options.directory.c_str(), *wxConvFileName);
    if (!discoverModules(directory, &names)) {
      std::cerr << "Selvar-inspect: cannot open directory " << options.directory << "\n";
      return 2;
    }
    // The service loads nothing from a directory other users may change.
    const bool trusted = isTrustedPath(directory);
    // The path as the service builds it: directory, "/", name.
    for (const wxString& name : names)
      probes.push_back(runProbe(std::string((directory + "/" + name).fn_str()), name.utf8_str().data(),
                                options.timeoutMs, trusted));
  } else {
    for (const std::string& file : options.files) {
      // Without a slash the loader would search the library path instead.
      const std::string path = file.find('/') == std::string::npos ? "./" + file : file;
      probes.push_back(runProbe(path, baseName(file), options.timeoutMs));
    }
  }

  const LoadPassReport report = judgeLoadPass(probes, options.directory);
  std::cout << (options.json ? jsonReport(report, options) : textReport(report, options)) << std::flush;
  return report.allAccepted() ? 0 : 1;
}
