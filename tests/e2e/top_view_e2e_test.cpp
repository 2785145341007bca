// End to end: Selvar-top against the real daemon with real test modules,
// once as a script would run it and once drawn in a real terminal (tmux).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "module_e2e.h"
#include "private_namespace.h"

using namespace e2e;

namespace {

// A copy of the built tool beside the sandbox's Selvar (the build tree may
// lie under the /tmp the sandbox covers).
std::string installTop(Sandbox& sb) {
  const std::string target = sb.binDir() + "/Selvar-top";
  std::filesystem::copy_file(hostPath(SELVAR_E2E_TOP), target, std::filesystem::copy_options::overwrite_existing);
  chmod(target.c_str(), 0755);
  return target;
}

ProcessResult runIn(const Sandbox& sb, const std::vector<std::string>& argv, int timeoutMs = 5000) {
  ProcessCommand command;
  command.file = argv[0];
  command.argv = argv;
  command.env = environmentWithPath(Sandbox::defaultPath());
  command.env.push_back("TERM=xterm");
  command.env.push_back("TMUX_TMPDIR=" + sb.root());
  command.timeout = std::chrono::milliseconds(timeoutMs);
  return runProcess(command);
}

}  // namespace

TEST(TopView, OnceListsEveryModuleAndTheViewDrawsThemInATerminal) {
  Sandbox sb;
  installModule(sb, "alpha.so", "id=0x00100001\n");
  installModule(sb, "beta.so", "id=0x00100002\n");
  const std::string top = installTop(sb);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));

  const ProcessResult once = runIn(sb, {top, "--once"});
  ASSERT_TRUE(once.exitedWith(0)) << once.describe();
  EXPECT_NE(std::string::npos, once.out.find("Selvar  pid " + std::to_string(daemon) + " ")) << once.out;
  EXPECT_NE(std::string::npos, once.out.find("\n(service) ")) << once.out;
  EXPECT_NE(std::string::npos, once.out.find("\nalpha.so ")) << once.out;
  EXPECT_NE(std::string::npos, once.out.find("\nbeta.so ")) << once.out;

  // The view in a 100x20 terminal, sorted by name: alpha's row above beta's.
  const ProcessResult session =
      runIn(sb, {"/usr/bin/tmux", "new-session", "-d", "-s", "top", "-x", "100", "-y", "20", top + " --sort name"});
  ASSERT_TRUE(session.exitedWith(0)) << session.describe();
  std::string pane;
  const bool drawn = waitUntil(
      [&] {
        pane = runIn(sb, {"/usr/bin/tmux", "capture-pane", "-p", "-t", "top"}).out;
        return pane.find("beta.so") != std::string::npos;
      },
      std::chrono::milliseconds(5000));
  ASSERT_TRUE(drawn) << pane;
  EXPECT_NE(std::string::npos, pane.find("sorted by name")) << pane;
  EXPECT_LT(pane.find("(service)"), pane.find("alpha.so")) << pane;
  EXPECT_LT(pane.find("alpha.so"), pane.find("beta.so")) << pane;
  // q ends the view, and the tmux session with it.
  runIn(sb, {"/usr/bin/tmux", "send-keys", "-t", "top", "q"});
  EXPECT_TRUE(waitUntil([&] { return !runIn(sb, {"/usr/bin/tmux", "has-session", "-t", "top"}).exitedWith(0); },
                        std::chrono::milliseconds(5000)));
  stopService(sb, daemon);
}

TEST(TopView, SaysTheServiceIsNotRunningWhenItIsNot) {
  Sandbox sb;
  const std::string top = installTop(sb);
  const ProcessResult once = runIn(sb, {top, "--once"});
  EXPECT_TRUE(once.exitedWith(3)) << once.describe();
  EXPECT_EQ("Selvar-top: the service is not running (nothing listens at /var/run/vantriserver.sock)\n", once.err);
}
