// kestil-fake-app [--log <file>] <config_dir> <catalog_hash|match>
//
// Runs the stand-in app as a process, for interop tests and trying the server by hand: it
// listens on <config_dir>/app.sock, publishes <config_dir>/mcp/endpoint.json, answers hellos
// with the given catalog hash ("match" means the server's own) and echoes every call. Once the
// endpoint is published it writes the one line "ready" to standard output and nothing more.
// It stops when its standard input reaches end of file or on SIGTERM or SIGINT, exiting 0;
// it exits 1 when it cannot listen or publish (or write the log) and 2 on a wrong command line.
//
// With --log, <file> holds what the app has seen as one JSON object,
//   {"calls":[<line>,...],"connections":<count>,"hellos":[<line>,...]}
// (each received line as a string, without its LF). It is replaced, by rename, within 100 ms
// of every change, and written a last time, complete, before the process exits.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "catalog.h"
#include "fake_app.h"
#include "protocol.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
  stop_requested = 1;
}

void handle_stop_signals() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// Keeps the --log file in step with what the app has received.
class Log {
 public:
  explicit Log(std::string path) : path_(std::move(path)) {}

  // Rewrites the file when anything changed since the last write; false when writing fails.
  bool update(const kestil::testing::FakeApp& app) {
    if (path_.empty()) return true;
    kestil::Json snapshot{
        {"calls", app.calls()}, {"connections", app.connection_count()}, {"hellos", app.hellos()}};
    if (written_ && snapshot == last_) return true;
    std::string temporary = path_ + ".tmp";
    kestil::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid() || !kestil::write_all(fd.get(), kestil::to_compact(snapshot) + "\n") ||
        std::rename(temporary.c_str(), path_.c_str()) != 0)
      return false;
    last_ = std::move(snapshot);
    written_ = true;
    return true;
  }

 private:
  std::string path_;  // empty: no log
  kestil::Json last_;
  bool written_ = false;
};

// Blocks until standard input ends or a stop signal arrives. The signal may land on the
// serving thread, so the flag is looked at every 100 ms rather than relying on EINTR.
void wait_for_stop(const kestil::testing::FakeApp& app, Log& log) {
  char discard[512];
  while (!stop_requested) {
    log.update(app);
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string log_path;
  if (args.size() == 4 && args[0] == "--log" && !args[1].empty()) {
    log_path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 2) {
    kestil::write_all(STDERR_FILENO,
                      "usage: kestil-fake-app [--log <file>] <config_dir> <catalog_hash|match>\n");
    return 2;
  }
  handle_stop_signals();
  std::string hash = args[1];
  if (hash == "match") hash = kestil::catalog_hash();

  using kestil::testing::FakeApp;
  FakeApp app(args[0], hash, FakeApp::Publish::later);
  Log log(log_path);
  if (!app.running() || !log.update(app) || !app.publish_endpoint()) return 1;
  kestil::write_all(STDOUT_FILENO, "ready\n");
  wait_for_stop(app, log);
  app.quit();  // nothing more arrives, so the last write is complete
  return log.update(app) ? 0 : 1;
}
