// Selvar-top: a terminal view of the running service's figures, refreshed
// every second, one row per module with the service's row on top. --once
// prints the table once, --json one raw document. Reads the status endpoint
// only; it changes nothing in the service.
#include <getopt.h>
#include <unistd.h>
#include <sys/ioctl.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include <curses.h>

#include "tools/top/top_client.h"
#include "tools/top/top_snapshot.h"
#include "tools/top/top_table.h"

namespace {

// Exit statuses (docs/running-as-a-service.md, "Looking inside").
enum TopStatus { TOP_OK = 0, TOP_FAILED = 1, TOP_USAGE = 2, TOP_NOT_RUNNING = 3, TOP_DENIED = 4 };

const int FETCH_TIMEOUT_MS = 900;
const int REFRESH_MS = 1000;
const size_t PLAIN_WIDTH = 120;  // --once into a pipe or file

int statusFor(top::FetchResult result) {
  switch (result) {
    case top::FETCH_OK: return TOP_OK;
    case top::FETCH_NOT_RUNNING: return TOP_NOT_RUNNING;
    case top::FETCH_DENIED: return TOP_DENIED;
    case top::FETCH_FAILED: return TOP_FAILED;
  }
  return TOP_FAILED;
}

void usage(FILE* out) {
  fprintf(out,
          "Usage: Selvar-top [--once | --json] [--sort KEY] [--socket PATH]\n"
          "Shows the running service's figures, one row per module, every second.\n"
          "  --once         print the table once (rates over one second) and exit\n"
          "  --json         print one raw status document and exit\n"
          "  --sort KEY     busy (default), deliveries, longest, kept, oldest or name;\n"
          "                 in the view, press the key's first letter; q quits\n"
          "  --socket PATH  the service's status socket (default %s)\n",
          top::DEFAULT_SOCKET_PATH);
}

// One reading, parsed; on failure the message is in `error`.
int readSnapshot(const std::string& path, top::Snapshot& snapshot, std::string* raw, std::string& error) {
  std::string document;
  const top::FetchResult result = top::fetchDocument(path, FETCH_TIMEOUT_MS, document, error);
  if (result != top::FETCH_OK) return statusFor(result);
  if (!top::parseSnapshot(document, snapshot, error)) return TOP_FAILED;
  if (raw != nullptr) *raw = document;
  return TOP_OK;
}

size_t terminalWidth() {
  struct winsize size;
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return PLAIN_WIDTH;
}

int printOnce(const std::string& path, top::SortKey key) {
  top::Snapshot first;
  top::Snapshot second;
  std::string error;
  int status = readSnapshot(path, first, nullptr, error);
  if (status == TOP_OK) {
    usleep(REFRESH_MS * 1000);
    status = readSnapshot(path, second, nullptr, error);
  }
  if (status != TOP_OK) {
    fprintf(stderr, "Selvar-top: %s\n", error.c_str());
    return status;
  }
  const top::Table table = top::buildTable(&first, second);
  for (const std::string& line : top::formatTable(second, table, key, terminalWidth())) printf("%s\n", line.c_str());
  return TOP_OK;
}

int printJson(const std::string& path) {
  top::Snapshot snapshot;
  std::string raw;
  std::string error;
  const int status = readSnapshot(path, snapshot, &raw, error);
  if (status != TOP_OK) {
    fprintf(stderr, "Selvar-top: %s\n", error.c_str());
    return status;
  }
  fputs(raw.c_str(), stdout);
  if (raw.empty() || raw.back() != '\n') fputc('\n', stdout);
  return TOP_OK;
}

int runView(const std::string& path, top::SortKey key) {
  top::Snapshot current;
  std::string error;
  // A service that is not there, or not ours to read, is said before the
  // screen is taken over, so the message stays on the terminal.
  const int first = readSnapshot(path, current, nullptr, error);
  if (first != TOP_OK) {
    fprintf(stderr, "Selvar-top: %s\n", error.c_str());
    return first;
  }
  initscr();
  cbreak();
  noecho();
  keypad(stdscr, TRUE);
  curs_set(0);
  timeout(REFRESH_MS);
  top::Snapshot previous;
  bool havePrevious = false;
  bool reachable = true;
  for (;;) {
    erase();
    int row = 0;
    if (reachable) {
      const top::Table table = top::buildTable(havePrevious ? &previous : nullptr, current);
      for (const std::string& line : top::formatTable(current, table, key, static_cast<size_t>(COLS))) {
        if (row >= LINES) break;
        mvaddstr(row++, 0, line.c_str());
      }
    } else {
      mvaddnstr(row++, 0, ("Selvar-top: " + error).c_str(), COLS);
    }
    refresh();
    const int pressed = getch();
    if (pressed == 'q' || pressed == 'Q') break;
    if (pressed != ERR && pressed != KEY_RESIZE && pressed < 128) {
      top::SortKey chosen;
      if (sortKeyNamed(std::string(1, static_cast<char>(pressed)), chosen)) key = chosen;
      if (reachable) continue;  // redraw at once in the new order
    }
    top::Snapshot next;
    if (readSnapshot(path, next, nullptr, error) == TOP_OK) {
      previous = current;
      havePrevious = reachable;
      current = next;
      reachable = true;
    } else {
      reachable = false;  // a restarting service comes back on a later turn
    }
  }
  endwin();
  return TOP_OK;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  std::string path = top::DEFAULT_SOCKET_PATH;
  top::SortKey key = top::SORT_BUSY;
  enum { MODE_VIEW, MODE_ONCE, MODE_JSON } mode = MODE_VIEW;
  static const struct option options[] = {
      {"once", no_argument, nullptr, 'o'},       {"json", no_argument, nullptr, 'j'},
      {"sort", required_argument, nullptr, 's'}, {"socket", required_argument, nullptr, 'S'},
      {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0},
  };
  for (;;) {
    const int option = getopt_long(argc, argv, "h", options, nullptr);
    if (option == -1) break;
    switch (option) {
      case 'o': mode = MODE_ONCE; break;
      case 'j': mode = MODE_JSON; break;
      case 'S': path = optarg; break;
      case 's':
        if (!top::sortKeyNamed(optarg, key)) {
          fprintf(stderr, "Selvar-top: no sort key \"%s\"\n", optarg);
          usage(stderr);
          return TOP_USAGE;
        }
        break;
      case 'h': usage(stdout); return TOP_OK;
      default: usage(stderr); return TOP_USAGE;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "Selvar-top: unexpected argument \"%s\"\n", argv[optind]);
    usage(stderr);
    return TOP_USAGE;
  }
  if (mode == MODE_JSON) return printJson(path);
  if (mode == MODE_ONCE) return printOnce(path, key);
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    fprintf(stderr, "Selvar-top: the view needs a terminal; use --once or --json\n");
    return TOP_USAGE;
  }
  return runView(path, key);
}
