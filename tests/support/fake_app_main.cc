// kestil-fake-app <config_dir> <catalog_hash|match>
//
// Runs the stand-in app as a process, for interop tests and trying the server by hand: it
// listens on <config_dir>/app.sock, publishes <config_dir>/mcp/endpoint.json, answers hellos
// with the given catalog hash ("match" means the server's own) and echoes every call. Once the
// endpoint is published it writes the one line "ready" to standard output and nothing more.
// It stops when its standard input reaches end of file or on SIGTERM or SIGINT, exiting 0;
// it exits 1 when it cannot listen or publish and 2 on a wrong command line.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "catalog.h"
#include "fake_app.h"

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

// Blocks until standard input ends or a stop signal arrives. The signal may land on the
// serving thread, so the flag is looked at every 100 ms rather than relying on EINTR.
void wait_for_stop() {
  char discard[512];
  while (!stop_requested) {
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    kestil::write_all(STDERR_FILENO, "usage: kestil-fake-app <config_dir> <catalog_hash|match>\n");
    return 2;
  }
  handle_stop_signals();
  std::string hash = argv[2];
  if (hash == "match") hash = kestil::catalog_hash();

  using kestil::testing::FakeApp;
  FakeApp app(argv[1], hash, FakeApp::Publish::later);
  if (!app.running() || !app.publish_endpoint()) return 1;
  kestil::write_all(STDOUT_FILENO, "ready\n");
  wait_for_stop();
  return 0;
}
