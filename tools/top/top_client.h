// top_client.h - fetches one document from the service's status endpoint.
// Blocking with a deadline; any thread, no shared state.
#ifndef SELVAR_TOOLS_TOP_TOP_CLIENT_H
#define SELVAR_TOOLS_TOP_TOP_CLIENT_H

#include <string>

namespace top {

// Where the daemon puts its endpoint: beside its PID file.
extern const char* const DEFAULT_SOCKET_PATH;

enum FetchResult {
  FETCH_OK = 0,
  FETCH_NOT_RUNNING,  // no socket there, or nobody listens on it
  FETCH_DENIED,       // the socket is there but the caller may not use it
  FETCH_FAILED,       // anything else: a time-out, a broken answer
};

// Connects to the socket at `path`, reads the document to the end within
// `timeoutMs` in all, and closes. On failure `error` says why in one line.
FetchResult fetchDocument(const std::string& path, int timeoutMs, std::string& document, std::string& error);

}  // namespace top

#endif  // SELVAR_TOOLS_TOP_TOP_CLIENT_H
