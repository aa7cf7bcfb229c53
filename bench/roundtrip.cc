// Median round trip of a small tool call: straight to the stand-in app, and through the
// kestil-mcp binary to the same stand-in. Both run side by side in one process, so the ratio
// holds on a noisy machine even when the absolute figures do not. A bridged call wakes four
// sleepers (server, app thread, server, client) where a direct one wakes two, so on an idle
// virtual machine the time to wake an idle core dominates; keep one core busy to see the
// cost of the code itself.
//   kestil_bench [calls]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalog.h"
#include "fake_app.h"
#include "ipc.h"
#include "protocol.h"
#include "server_process.h"

namespace {

using namespace kestil;
using Clock = std::chrono::steady_clock;

const std::string CALL_PARAMS = R"({"name":"read_note","arguments":{"note":"Inbox/Plans"}})";

double median_us(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

template <typename RoundTrip>
std::vector<double> measure(int calls, RoundTrip round_trip) {
  std::vector<double> samples;
  for (int i = 0; i < calls; ++i) {
    const auto started = Clock::now();
    if (!round_trip(i)) {
      std::fprintf(stderr, "round trip %d failed\n", i);
      std::exit(1);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
  }
  return samples;
}

// A client of the stand-in app speaking its socket protocol directly.
std::vector<double> direct(const std::string& config_dir, int calls) {
  UniqueFd socket = connect_unix_socket(read_endpoint(config_dir)->socket);
  LineReader reader(socket.get(), READ_BUFFER_SIZE);
  std::string_view line;
  send_all(socket.get(), to_line(Hello{.client_name = "bench", .client_version = ""}) + "\n");
  reader.read_line(line);
  return measure(calls, [&](int i) {
    const std::string call = testing::request_line(std::to_string(i), "tools/call", CALL_PARAMS);
    return send_all(socket.get(), call) && reader.read_line(line) == ReadStatus::line;
  });
}

std::vector<double> through_server(const std::string& config_dir, int calls,
                                   const std::string& method, const std::string& params) {
  testing::ServerProcess server(KESTIL_MCP_BINARY, {"--no-launch"},
                                {{"KESTIL_CONFIG_DIR", config_dir}});
  return measure(calls, [&](int i) {
    return server.send(testing::request_line(std::to_string(i), method, params)) &&
           server.read_line().has_value();
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
  testing::TempDir dir;
  testing::FakeApp app(dir.path(), catalog_hash());
  through_server(dir.path(), 50, "tools/call", CALL_PARAMS);  // warm up both sides

  const double app_alone = median_us(direct(dir.path(), calls));
  const double bridged = median_us(through_server(dir.path(), calls, "tools/call", CALL_PARAMS));
  const double ping = median_us(through_server(dir.path(), calls, "ping", ""));
  std::printf("median round trip over %d calls\n", calls);
  std::printf("  stand-in app, direct        %8.1f us\n", app_alone);
  std::printf("  tools/call through server   %8.1f us  (%.2fx direct)\n", bridged,
              bridged / app_alone);
  std::printf("  ping answered by server     %8.1f us\n", ping);
  return 0;
}
