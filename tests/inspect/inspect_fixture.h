// inspect_fixture.h - running the built Selvar-inspect from the tests, and
// scratch plugin directories filled with the test modules.
#ifndef SELVAR_TESTS_INSPECT_INSPECT_FIXTURE_H
#define SELVAR_TESTS_INSPECT_INSPECT_FIXTURE_H

#include <string>
#include <vector>

#include "json_reader.h"

struct ToolRun {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
  double seconds = 0;
};

// Runs Selvar-inspect with args and waits for it.
ToolRun runInspector(const std::vector<std::string>& args);

// Runs it with --json first and parses stdout into json (false when that
// is not one valid JSON document).
bool runInspectorJson(const std::vector<std::string>& args, ToolRun* run, JsonValue* json);

// Path of a built test module variant, e.g. moduleFile("accept").
std::string moduleFile(const std::string& variant);

// A scratch directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return root; }
  // Writes name with the bytes of source (truncating in place when it
  // exists, so the directory's listing order stays as it was).
  std::string copy(const std::string& source, const std::string& name) const;
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string root;
};

#endif  // SELVAR_TESTS_INSPECT_INSPECT_FIXTURE_H
