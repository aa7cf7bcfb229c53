// Side-by-side benchmark of three bridges between an MCP client and one stand-in app: the
// floor (floor.c: canned answers, relaying without parsing), a peer written plainly on the
// official MCP TypeScript SDK (peer/peer.mjs) and kestil-mcp. Every repetition starts a fresh
// bridge process; the figures are interleaved across the three so that drift on a shared
// machine hits all of them alike. Prints one Markdown table of medians (min–max) with the
// ratios and the speed targets; exits non-zero when anything failed to run.
//   kestil_bench [--quick] [--node PATH] [--server PATH]
// --server measures another kestil-mcp binary (the build's own by default), for a before and
// after.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc.h"
#include "line_in.h"
#include "note_reply.h"

extern char** environ;

namespace {

using namespace kestil;
using namespace kestil::bench;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds WAIT{20'000};
constexpr std::size_t MIB = 1 << 20;
constexpr std::size_t SMALL_REPLY_BYTES = 200;
constexpr int WARM_UP_CALLS = 20;
// Every request id has seven digits, so the floor's canned answers match in size.
constexpr int FIRST_ID = 1'000'000;

struct Plan {
  int repetitions;
  int pings;
  int lists;
  int calls;
  std::size_t big_reply_bytes;
  milliseconds big_call_bound;
};

constexpr Plan FULL{5, 100'000, 2'000, 2'000, 64 * MIB, milliseconds(120'000)};
constexpr Plan QUICK{2, 2'000, 200, 200, 8 * MIB, milliseconds(60'000)};

// Platform differences of the measurements, kept here. Linux carries the spawning process's
// own peak into a child's ru_maxrss across exec (the driver holds 70 MB lines), so there the
// peak is the exec'd program's own high-water mark, read while it still runs.
std::optional<double> proc_status_mib(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  double kib = 0;
  while (status >> key) {
    if (key == field && status >> kib) return kib / 1024;
    status.ignore(1 << 16, '\n');
  }
  return std::nullopt;  // no /proc (macOS)
}

std::optional<double> resident_mib(pid_t pid) {
  return proc_status_mib(pid, "VmRSS:");
}

// Peak resident size from the high-water mark while running, else from wait4's rusage.
double peak_rss_mib(std::optional<double> high_water_mib, const rusage& usage) {
  if (high_water_mib) return *high_water_mib;
#ifdef __APPLE__
  return static_cast<double>(usage.ru_maxrss) / MIB;  // bytes
#else
  return static_cast<double>(usage.ru_maxrss) / 1024;  // KiB
#endif
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> env;  // "NAME=value", added to this process's environment
};

// A bridge process with pipes on stdin and stdout and stderr discarded.
class Child {
 public:
  static std::unique_ptr<Child> spawn(const Command& command) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0) return nullptr;
    if (pipe(from_child) != 0) {
      close(to_child[0]);
      close(to_child[1]);
      return nullptr;
    }
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    UniqueFd child_in(to_child[0]), child_out(from_child[1]);
    auto child = std::unique_ptr<Child>(new Child(UniqueFd(to_child[1]), UniqueFd(from_child[0])));

    std::vector<char*> argv, envp;
    for (const auto& arg : command.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    for (const auto& entry : command.env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, child_in.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, child_out.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int failed =
        posix_spawnp(&child->pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return nullptr;
    return child;
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) kill_now();
  }

  pid_t pid() const { return pid_; }
  bool send(std::string_view bytes) { return write_all(to_.get(), bytes); }
  std::optional<std::string_view> line(milliseconds timeout = WAIT) { return in_.next(timeout); }

  // Closes stdin, waits for the exit (killing it after a grace period) and returns its peak
  // resident size in MiB.
  double finish() {
    const auto high_water = proc_status_mib(pid_, "VmHWM:");
    to_ = UniqueFd();
    const auto started = Clock::now();
    rusage usage{};
    while (wait4(pid_, nullptr, WNOHANG, &usage) == 0) {
      if (seconds_since(started) > 5) {
        kill(pid_, SIGKILL);
        wait4(pid_, nullptr, 0, &usage);
        break;
      }
      std::this_thread::sleep_for(milliseconds(1));
    }
    pid_ = -1;
    return peak_rss_mib(high_water, usage);
  }

  void kill_now() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  Child(UniqueFd to, UniqueFd from)
      : to_(std::move(to)), from_(std::move(from)), in_(from_.get()) {}

  pid_t pid_ = -1;
  UniqueFd to_;
  UniqueFd from_;
  LineIn in_;
};

std::string request(int id, std::string_view method, std::string_view params = "") {
  std::string line = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"";
  line += method;
  line += "\"";
  if (!params.empty()) (line += ",\"params\":") += params;
  return line + "}\n";
}

const std::string INITIALIZE = request(
    FIRST_ID, "initialize",
    R"({"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}})");
const std::string INITIALIZED = R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                                "\n";

std::string call_request(int id, std::size_t reply_bytes) {
  return request(id, "tools/call",
                 R"({"name":"read_note","arguments":{"note":")" + note_name(reply_bytes) + "\"}}");
}

bool is_answer(std::optional<std::string_view> line) {
  return line && line->size() > 2 && line->front() == '{' && line->back() == '}' &&
         line->find("\"result\"") != std::string_view::npos;
}

// The size of the app's reply line (without LF) for a call with a seven-digit id.
std::size_t reply_size(std::size_t text_bytes) {
  static std::map<std::size_t, std::size_t> sizes;
  auto& size = sizes[text_bytes];
  if (size == 0) size = reply_line_size("1000000", escaped(note_text(text_bytes)).size()) - 1;
  return size;
}

std::unique_ptr<Child> start_initialized(const Command& bridge) {
  auto child = Child::spawn(bridge);
  if (!child || !child->send(INITIALIZE) || !is_answer(child->line()) ||
      !child->send(INITIALIZED)) {
    return nullptr;
  }
  return child;
}

// One small call, answered in full: the first one also makes the bridge's app connection.
bool small_call(Child& child, int id) {
  const auto line = child.send(call_request(id, SMALL_REPLY_BYTES)) ? child.line() : std::nullopt;
  return line && line->size() == reply_size(SMALL_REPLY_BYTES);
}

std::optional<double> startup_ms(const Command& bridge) {
  const auto started = Clock::now();
  auto child = Child::spawn(bridge);
  if (!child || !child->send(INITIALIZE) || !is_answer(child->line())) return std::nullopt;
  const double elapsed = seconds_since(started);
  child->finish();
  return elapsed * 1e3;
}

// Answers per second, in thousands, with every request written by a second thread while
// this one reads.
std::optional<double> pipelined_kps(const Command& bridge, std::string_view method, int count) {
  auto child = start_initialized(bridge);
  if (!child) return std::nullopt;
  std::string requests;
  for (int i = 0; i < count; ++i) requests += request(FIRST_ID + 1 + i, method);
  const auto started = Clock::now();
  std::thread writer([&] { child->send(requests); });
  int answered = 0;
  while (answered < count && is_answer(child->line())) ++answered;
  const double elapsed = seconds_since(started);
  if (answered < count) child->kill_now();  // unblocks the writer
  writer.join();
  if (answered < count) return std::nullopt;
  child->finish();
  return count / elapsed / 1e3;
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t half = samples.size() / 2;
  return samples.size() % 2 == 1 ? samples[half] : (samples[half - 1] + samples[half]) / 2;
}

// Median round trip of small calls made one after another, in microseconds.
std::optional<double> call_p50_us(const Command& bridge, int count) {
  auto child = start_initialized(bridge);
  if (!child) return std::nullopt;
  for (int i = 0; i < WARM_UP_CALLS; ++i) {
    if (!small_call(*child, FIRST_ID + 1 + i)) return std::nullopt;
  }
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto started = Clock::now();
    if (!small_call(*child, FIRST_ID + 1 + WARM_UP_CALLS + i)) return std::nullopt;
    samples.push_back(seconds_since(started) * 1e6);
  }
  child->finish();
  return median(samples);
}

UniqueFd connect_app(const std::string& config_dir) {
  const auto endpoint = read_endpoint(config_dir);
  return endpoint ? connect_unix_socket(endpoint->socket) : UniqueFd();
}

// A client speaking the app's socket protocol directly.
class AppClient {
 public:
  explicit AppClient(const std::string& config_dir) : socket_(connect_app(config_dir)) {
    const std::string hello = to_line(Hello{.client_name = "bench", .client_version = "1"});
    greeted_ = send_all(socket_.get(), hello + "\n") && in_.next(WAIT);
  }

  // One call with a reply of `text_bytes`, answered in full.
  bool call(int id, std::size_t text_bytes) {
    if (!greeted_ || !send_all(socket_.get(), call_request(id, text_bytes))) return false;
    const auto line = in_.next(WAIT);
    return line && line->size() == reply_size(text_bytes);
  }

 private:
  UniqueFd socket_;  // before in_, which reads it
  LineIn in_{socket_.get()};
  bool greeted_ = false;
};

// The app builds a reply text on the first call of each size; that is no bridge's cost.
bool warm_up_app(const std::string& config_dir, const std::vector<std::size_t>& sizes) {
  AppClient app(config_dir);
  for (std::size_t size : sizes) {
    if (!app.call(FIRST_ID, size)) return false;
  }
  return true;
}

// The round trip of small calls without any bridge.
std::optional<double> app_direct_p50_us(const std::string& config_dir, int count) {
  AppClient app(config_dir);
  std::vector<double> samples;
  for (int i = 0; i < WARM_UP_CALLS + count; ++i) {
    const auto started = Clock::now();
    if (!app.call(FIRST_ID + i, SMALL_REPLY_BYTES)) return std::nullopt;
    if (i >= WARM_UP_CALLS) samples.push_back(seconds_since(started) * 1e6);
  }
  return median(samples);
}

struct BigCall {
  double megabytes_per_second;
  double peak_rss_mib;
};

// One call with a reply of `text_bytes`, after a small call has made the app connection.
std::optional<BigCall> one_call(const Command& bridge, std::size_t text_bytes, milliseconds bound) {
  const std::size_t expected = reply_size(text_bytes);
  auto child = start_initialized(bridge);
  if (!child || !small_call(*child, FIRST_ID + 1)) return std::nullopt;
  const auto started = Clock::now();
  const auto line =
      child->send(call_request(FIRST_ID + 2, text_bytes)) ? child->line(bound) : std::nullopt;
  const double elapsed = seconds_since(started);
  if (!line || line->size() != expected) return std::nullopt;
  return BigCall{(expected + 1) / elapsed / 1e6, child->finish()};
}

std::optional<double> idle_rss_mib(const Command& bridge) {
  auto child = start_initialized(bridge);
  if (!child || !child->send(request(FIRST_ID + 1, "tools/list")) || !is_answer(child->line())) {
    return std::nullopt;
  }
  std::this_thread::sleep_for(milliseconds(50));
  const auto rss = resident_mib(child->pid());
  child->finish();
  return rss;
}

struct Target {
  std::string text;
  std::optional<bool> met;  // none when a figure is missing
};

// Samples of one figure for the three bridges; a failed repetition leaves no sample.
struct Row {
  std::string figure;
  bool higher_is_better;
  // A peer that cannot carry the large reply of a full run within the bound is a figure, not
  // a fault.
  bool peer_bounded = false;
  std::array<std::vector<double>, 3> samples{};
  std::array<int, 3> failures{};
  Target target{};
};

struct Results {
  Row startup, ping, list, call, mib, big, big_rss, idle;
  std::vector<double> app_direct{};  // small-call p50 of a client of the app alone
  int app_direct_failures = 0;

  std::array<Row*, 8> rows() {
    return {&startup, &ping, &list, &call, &mib, &big, &big_rss, &idle};
  }
};

enum Column { FLOOR, PEER, OURS };
constexpr std::array<const char*, 3> COLUMN_NAMES = {"floor", "TS-SDK peer", "kestil-mcp"};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.2f", value);
  return text;
}

std::string count_text(int count) {
  return count % 1000 == 0 ? std::to_string(count / 1000) + "k" : std::to_string(count);
}

std::optional<double> median_of(const Row& row, Column column) {
  if (row.samples[column].empty()) return std::nullopt;
  return median(row.samples[column]);
}

std::string cell(const Row& row, Column column, const std::string& failure_note) {
  const auto& samples = row.samples[column];
  if (samples.empty()) return failure_note;
  const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
  std::string text = number(median(samples)) + " (" + number(*low) + "–" + number(*high) + ")";
  if (row.failures[column] > 0) text += " " + failure_note;
  return text;
}

// How much better ours is than the peer, as a factor.
std::string versus_peer(const Row& row) {
  const auto ours = median_of(row, OURS), peer = median_of(row, PEER);
  if (!ours || !peer || *ours <= 0 || *peer <= 0) return "—";
  const double factor = row.higher_is_better ? *ours / *peer : *peer / *ours;
  return factor >= 1 ? number(factor) + "× better" : number(1 / factor) + "× worse";
}

std::string ratio(std::optional<double> ours, std::optional<double> floor) {
  if (!ours || !floor || *floor <= 0) return "—";
  return number(*ours / *floor) + "×";
}

std::string verdict(const Target& target) {
  if (!target.met) return "—";
  return *target.met ? "met" : "not met";
}

void record(Row& row, int column, std::optional<double> value) {
  if (value) {
    row.samples[column].push_back(*value);
  } else {
    ++row.failures[column];
  }
}

Results empty_results(const Plan& plan) {
  const std::string big_line =
      number(static_cast<double>(reply_size(plan.big_reply_bytes) + 1) / 1e6) + " MB line";
  Results results{
      .startup = {"start-up: spawn → initialize answer (ms)", false},
      .ping = {"ping, " + count_text(plan.pings) + " pipelined (k/s)", true},
      .list = {"tools/list, " + count_text(plan.lists) + " pipelined (k/s)", true},
      .call = {"tools/call p50, small reply (µs)", false},
      .mib = {"one call, 1 MiB reply: MB/s", true},
      .big = {"one call, " + std::to_string(plan.big_reply_bytes / MIB) + " MiB reply (" +
                  big_line + "): MB/s",
              true, true},
      .big_rss = {"same: peak RSS (MiB)", false, true},
      .idle = {"idle RSS after initialize + tools/list (MiB)", false},
  };
  return results;
}

// Every figure, repetition by repetition, the three bridges in turn within each.
void measure(Results& results, const Plan& plan, const std::array<Command, 3>& bridges,
             const std::string& config_dir) {
  for (int rep = 0; rep < plan.repetitions; ++rep) {
    std::fprintf(stderr, "repetition %d of %d\n", rep + 1, plan.repetitions);
    for (int column = 0; column < 3; ++column) {
      const Command& bridge = bridges[column];
      record(results.startup, column, startup_ms(bridge));
      record(results.ping, column, pipelined_kps(bridge, "ping", plan.pings));
      record(results.list, column, pipelined_kps(bridge, "tools/list", plan.lists));
      // The app alone, right before each bridge, so that both see the same machine.
      if (const auto p50 = app_direct_p50_us(config_dir, plan.calls)) {
        results.app_direct.push_back(*p50);
      } else {
        ++results.app_direct_failures;
      }
      record(results.call, column, call_p50_us(bridge, plan.calls));
      const auto one = one_call(bridge, MIB, WAIT);
      record(results.mib, column, one ? std::optional(one->megabytes_per_second) : std::nullopt);
      const auto big = one_call(bridge, plan.big_reply_bytes, plan.big_call_bound);
      record(results.big, column, big ? std::optional(big->megabytes_per_second) : std::nullopt);
      record(results.big_rss, column, big ? std::optional(big->peak_rss_mib) : std::nullopt);
      record(results.idle, column, idle_rss_mib(bridge));
    }
  }
}

// The speed targets for kestil-mcp, each judged on the medians of this run.
void set_targets(Results& results, const Plan& plan) {
  const auto floor = [](const Row& row) { return median_of(row, FLOOR); };
  const auto peer = [](const Row& row) { return median_of(row, PEER); };
  const auto ours = [](const Row& row) { return median_of(row, OURS); };

  Row& startup = results.startup;
  startup.target.text = "≥ 100× the peer and ≤ 1.3× the floor";
  if (ours(startup) && peer(startup) && floor(startup)) {
    startup.target.met =
        *peer(startup) >= 100 * *ours(startup) && *ours(startup) <= 1.3 * *floor(startup);
  }

  for (Row* row : {&results.ping, &results.list, &results.mib, &results.big}) {
    row->target.text = "≥ 50 % of the floor";
    if (ours(*row) && floor(*row)) row->target.met = *ours(*row) >= 0.5 * *floor(*row);
  }

  Row& call = results.call;
  call.target.text = "overhead over app direct ≤ 1.3× the floor's overhead";
  if (ours(call) && floor(call) && !results.app_direct.empty()) {
    const double app = median(results.app_direct);
    call.figure += " (app direct " + number(app) + " µs)";
    const double ours_overhead = *ours(call) - app, floor_overhead = *floor(call) - app;
    call.target.text += " (" + number(ours_overhead) + " vs " + number(floor_overhead) + " µs)";
    call.target.met = ours_overhead <= 1.3 * floor_overhead;
  }

  const double line_mib = static_cast<double>(reply_size(plan.big_reply_bytes) + 1) / MIB;
  Row& big_rss = results.big_rss;
  big_rss.target.text = "≤ 1.5× the reply line (" + number(1.5 * line_mib) + " MiB)";
  if (ours(big_rss)) big_rss.target.met = *ours(big_rss) <= 1.5 * line_mib;

  results.idle.target.text = "≤ 2 MiB";
  if (ours(results.idle)) results.idle.target.met = *ours(results.idle) <= 2;
}

// Prints the table; returns the number of measurements that failed.
int print_table(Results& results, const Plan& plan, bool quick) {
  const std::string bound_note =
      "(failed or over " + std::to_string(plan.big_call_bound.count() / 1000) + " s)";
  std::printf("%d repetitions, a fresh bridge process each; median (min–max)%s\n\n",
              plan.repetitions, quick ? "; quick run: fewer and smaller" : "");
  std::printf("| figure | %s | %s | %s | ours/floor | ours vs peer | target | met |\n",
              COLUMN_NAMES[FLOOR], COLUMN_NAMES[PEER], COLUMN_NAMES[OURS]);
  std::printf("|---|---|---|---|---|---|---|---|\n");
  // Without /proc (macOS) there is no idle RSS to read, which is no failure.
  const bool no_resident_size = !resident_mib(getpid());
  int failures = results.app_direct_failures;
  for (const Row* row : results.rows()) {
    const std::string note = row->peer_bounded ? bound_note : "(failed)";
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", row->figure.c_str(),
                cell(*row, FLOOR, note).c_str(), cell(*row, PEER, note).c_str(),
                cell(*row, OURS, note).c_str(),
                ratio(median_of(*row, OURS), median_of(*row, FLOOR)).c_str(),
                versus_peer(*row).c_str(), row->target.text.c_str(), verdict(row->target).c_str());
    if (row == &results.idle && no_resident_size) continue;
    for (Column column : {FLOOR, PEER, OURS}) {
      if (!(row->peer_bounded && column == PEER && !quick)) failures += row->failures[column];
    }
  }
  return failures;
}

// kestil-mcp's own answers, written under `dir`: each as a canned answer for the floor
// (canned/<name>), and the catalog for the peer (catalog.json).
bool write_answers(const Command& ours, const std::string& dir) {
  const std::array<std::pair<const char*, std::string>, 4> requests = {{
      {"initialize", INITIALIZE},
      {"ping", request(FIRST_ID, "ping")},
      {"tools_list", request(FIRST_ID, "tools/list")},
      {"prompts_list", request(FIRST_ID, "prompts/list")},
  }};
  std::filesystem::create_directories(dir + "/canned");
  nlohmann::json catalog;
  auto child = Child::spawn(ours);
  for (const auto& [name, line] : requests) {
    const auto answer = child && child->send(line) ? child->line() : std::nullopt;
    if (!is_answer(answer)) return false;
    std::ofstream(dir + "/canned/" + name) << *answer << "\n";
    const auto result = nlohmann::json::parse(*answer)["result"];
    if (std::string_view(name) == "initialize") catalog["initialize"] = result;
    if (result.contains("tools")) catalog["tools"] = result["tools"];
    if (result.contains("prompts")) catalog["prompts"] = result["prompts"];
  }
  child->finish();
  return static_cast<bool>(std::ofstream(dir + "/catalog.json") << catalog.dump());
}

// Removes a directory tree when it goes.
struct DirRemover {
  std::string path;
  ~DirRemover() { std::filesystem::remove_all(path); }
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Plan plan = FULL;
  bool quick = false;
  std::string node = "node";
  std::string server = KESTIL_MCP_BINARY;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      plan = QUICK;
      quick = true;
    } else if (arg == "--node" && i + 1 < argc) {
      node = argv[++i];
    } else if (arg == "--server" && i + 1 < argc) {
      server = argv[++i];
    } else {
      std::fprintf(stderr, "usage: kestil_bench [--quick] [--node PATH] [--server PATH]\n");
      return 2;
    }
  }

  char dir_template[] = "/tmp/kestil-bench-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const DirRemover dir{dir_template};
  const std::string config_dir = dir.path + "/config";
  std::filesystem::create_directories(config_dir);

  // The stand-in app, for the whole run.
  auto app = Child::spawn({{KESTIL_BENCH_APP_BINARY, config_dir}, {}});
  for (int i = 0; i < 5000 && !read_endpoint(config_dir); ++i) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  if (!app || !read_endpoint(config_dir) ||
      !warm_up_app(config_dir, {SMALL_REPLY_BYTES, MIB, plan.big_reply_bytes})) {
    std::fprintf(stderr, "kestil_bench: the stand-in app did not start\n");
    return 1;
  }

  const Command ours{{server, "--no-launch"}, {"KESTIL_CONFIG_DIR=" + config_dir}};
  if (!write_answers(ours, dir.path)) {
    std::fprintf(stderr, "kestil_bench: kestil-mcp did not answer its own requests\n");
    return 1;
  }
  const std::array<Command, 3> bridges = {{
      {{KESTIL_FLOOR_BINARY, dir.path + "/canned", config_dir}, {}},
      {{node, KESTIL_PEER_SCRIPT, dir.path + "/catalog.json"}, {"KESTIL_CONFIG_DIR=" + config_dir}},
      ours,
  }};

  Results results = empty_results(plan);
  measure(results, plan, bridges, config_dir);
  set_targets(results, plan);
  const int failures = print_table(results, plan, quick);
  if (failures > 0) {
    std::fprintf(stderr, "kestil_bench: %d measurements failed\n", failures);
    return 1;
  }
  return 0;
}
