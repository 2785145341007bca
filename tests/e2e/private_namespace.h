// private_namespace.h - puts the end-to-end test process into a mount and PID
// namespace of its own, with a private /dev, so that daemons it starts touch
// nothing of the host and die with it. Only the e2e main() calls
// enterPrivateNamespace(), once, before any thread exists; the rest is for
// the sandbox code.
#ifndef SELVAR_TESTS_E2E_PRIVATE_NAMESPACE_H
#define SELVAR_TESTS_E2E_PRIVATE_NAMESPACE_H

#include <string>

namespace e2e {

// Forks into a new PID and mount namespace. Returns true in the child, which
// is PID 1 there and carries on with the tests; the calling process waits for
// it and exits with its status. Returns false (with a reason) when the
// namespace or its mounts cannot be made, e.g. when not run as root.
bool enterPrivateNamespace(std::string& error);

// True in the process that enterPrivateNamespace() returned true in.
bool insidePrivateNamespace();

// The host's view of a path under /tmp or /run, which the sandboxes cover
// with their own tmpfs: a build tree under /tmp stays reachable this way.
// Other paths come back unchanged. Valid in the test process only.
std::string hostPath(const std::string& path);

}  // namespace e2e

#endif
