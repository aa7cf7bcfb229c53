// The vault benchmark: generated spaces of 1,000 to 100,000 realistic notes (vault_space.h),
// served by the real kestil-folder and reached through the real kestil-mcp by an MCP client on
// its stdin and stdout, timed side by side with `grep -rlF WORD SPACE` over the same files (the
// floor of any scan). Prints one Markdown table: each figure per size (median and max of 5 warm
// calls), its ratio to the floor where a target names one, the target and whether it is met.
//   kestil_vault_bench [--quick] [--sizes N,N,...] [--dir DIR] [--server PATH] [--app PATH]
//                      [--long-run N]
// Spaces are written under DIR (default /tmp/kestil-vault) and reused while complete.
// --long-run N: instead, the app as a service that runs for long, at each size: N appends by the
// assistant to one note of 2,000 lines and N saves of another note from outside (each followed at
// once by a search for the word it added), then the index's size and search times against a
// fresh build's of the same notes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc.h"
#include "line_in.h"
#include "protocol.h"
#include "vault_space.h"

extern char** environ;

namespace {

using namespace kestil;
using namespace kestil::bench;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

constexpr int REPETITIONS = 5;
constexpr milliseconds CALL_WAIT{120'000};
constexpr milliseconds CHANGE_WAIT{10'000};
constexpr milliseconds BUILD_WAIT{900'000};
// When neither a progress line nor the ready line has come this long after start, the app
// builds no index: the first build is then not timed. Long enough for the first progress line
// of a large build, short for a small space.
milliseconds no_index_sign(int notes) {
  return std::min(milliseconds(20'000), milliseconds(2'000 + 2 * notes));
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A child process; the pipes asked for are its stdin, stdout and stderr, the rest /dev/null.
struct Process {
  pid_t pid = -1;
  UniqueFd in, out, err;

  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { kill_now(); }

  static std::unique_ptr<Process> spawn(const std::vector<std::string>& args,
                                        const std::vector<std::string>& env, bool with_in,
                                        bool with_out, bool with_err) {
    auto process = std::make_unique<Process>();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<UniqueFd> child_ends;
    auto connect = [&](bool wanted, int target, UniqueFd& ours) {
      int ends[2];
      if (!wanted || pipe(ends) != 0) {
        posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                         target == 0 ? O_RDONLY : O_WRONLY, 0);
        return;
      }
      const int child_end = target == 0 ? ends[0] : ends[1];
      ours = UniqueFd(target == 0 ? ends[1] : ends[0]);
      fcntl(ours.get(), F_SETFD, FD_CLOEXEC);
      fcntl(child_end, F_SETFD, FD_CLOEXEC);
      posix_spawn_file_actions_adddup2(&actions, child_end, target);
      child_ends.emplace_back(child_end);
    };
    connect(with_in, 0, process->in);
    connect(with_out, 1, process->out);
    connect(with_err, 2, process->err);
    std::vector<char*> argv, envp;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const int failed =
        posix_spawnp(&process->pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) process->pid = -1;
    return failed == 0 ? std::move(process) : nullptr;
  }

  int wait_exit() {
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void kill_now() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

std::optional<double> high_water_mib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  double kib = 0;
  while (status >> key) {
    if (key == "VmHWM:" && status >> kib) return kib / 1024;
    status.ignore(1 << 16, '\n');
  }
  return std::nullopt;  // no /proc (macOS)
}

// kestil-folder serving one space, its stderr lines collected with the time each came.
class App {
 public:
  App(const std::string& binary, const std::string& config_dir, const std::string& space,
      const std::vector<std::string>& more = {})
      : config_dir_(config_dir),
        started_(Clock::now()),
        process_(
            Process::spawn(arguments(binary, config_dir, space, more), {}, false, false, true)) {
    if (process_) reader_ = std::thread([this] { read_stderr(); });
  }
  ~App() {
    stop();
    if (reader_.joinable()) reader_.join();
  }

  Clock::time_point started() const { return started_; }
  static std::vector<std::string> arguments(const std::string& binary,
                                            const std::string& config_dir, const std::string& space,
                                            const std::vector<std::string>& more) {
    std::vector<std::string> args{binary, "--config-dir", config_dir, space};
    args.insert(args.begin() + 1, more.begin(), more.end());
    return args;
  }
  pid_t pid() const { return process_ ? process_->pid : -1; }

  // Whether its endpoint is published within `most`.
  bool wait_endpoint(milliseconds most) {
    for (const auto give_up = Clock::now() + most; Clock::now() < give_up;) {
      const auto endpoint = read_endpoint(config_dir_);
      if (endpoint && static_cast<pid_t>(endpoint->pid) == pid()) return true;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
  }

  // Milliseconds from start to the line that says the first build is done; none when the app
  // says nothing about an index.
  std::optional<double> wait_first_build(milliseconds no_sign) {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        for (const auto& [line, at] : lines_) {
          if (build_finished(line))
            return std::chrono::duration<double, std::milli>(at - started_).count();
        }
        const bool indexing = std::any_of(lines_.begin(), lines_.end(), [](const auto& entry) {
          return entry.first.find("indexing ") != std::string::npos;
        });
        const milliseconds most = indexing ? BUILD_WAIT : no_sign;
        if (Clock::now() - started_ > most || ended_) return std::nullopt;
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
  }

  // Whether the line saying the index is ready comes within `most` (the last progress line of a
  // build comes before the index is packed and ready).
  bool wait_ready(milliseconds most) {
    for (const auto give_up = Clock::now() + most; Clock::now() < give_up;) {
      {
        std::lock_guard lock(mutex_);
        for (const auto& [line, at] : lines_) {
          if (line.find("index of ") != std::string::npos &&
              line.find(" ready") != std::string::npos)
            return true;
        }
        if (ended_) return false;
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
  }

  // Stops it as a person would, with SIGTERM.
  void stop() {
    if (!process_ || process_->pid <= 0) return;
    kill(process_->pid, SIGTERM);
    process_->wait_exit();
  }

 private:
  // The app's line when the index is ready ("kestil-folder: index of Notes ready: ..."), or its
  // last progress line of a build ("kestil-folder: indexing Notes: 9,500 of 9,500 notes").
  static bool build_finished(const std::string& line) {
    if (line.find("index of ") != std::string::npos && line.find(" ready") != std::string::npos) {
      return true;
    }
    const std::size_t indexing = line.find("indexing "), of = line.find(" of ");
    if (indexing == std::string::npos || of == std::string::npos) return false;
    auto count_before = [&](std::size_t end) {
      std::string digits;
      while (end > 0 &&
             (std::isdigit(static_cast<unsigned char>(line[end - 1])) || line[end - 1] == ',')) {
        if (line[--end] != ',') digits.insert(digits.begin(), line[end]);
      }
      return digits;
    };
    const std::size_t total_end = line.find(' ', of + 4);
    const std::string done = count_before(of);
    return !done.empty() &&
           done == count_before(total_end == std::string::npos ? line.size() : total_end);
  }

  void read_stderr() {
    LineIn in(process_->err.get());
    while (auto line = in.next(BUILD_WAIT)) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(std::string(*line), Clock::now());
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
  }

  std::string config_dir_;
  Clock::time_point started_;
  std::unique_ptr<Process> process_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, Clock::time_point>> lines_;
  bool ended_ = false;
  std::thread reader_;
};

struct Reply {
  std::string text;
  bool is_error = true;
  double ms = 0;
};

// An MCP client of kestil-mcp over its stdin and stdout.
class Client {
 public:
  Client(const std::string& binary, const std::string& config_dir)
      : process_(Process::spawn({binary, "--no-launch"}, {"KESTIL_CONFIG_DIR=" + config_dir}, true,
                                true, false)),
        in_(process_ ? process_->out.get() : -1) {
    ready_ =
        process_ &&
        exchange(
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
            R"("2025-06-18","capabilities":{},"clientInfo":{"name":"vault","version":"1"}}})") &&
        write_all(process_->in.get(), R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                                      "\n");
  }

  bool ready() const { return ready_; }

  Reply call(const std::string& tool, const Json& arguments) {
    const Json request{{"jsonrpc", "2.0"},
                       {"id", ++id_},
                       {"method", "tools/call"},
                       {"params", {{"name", tool}, {"arguments", arguments}}}};
    const auto started = Clock::now();
    Reply reply;
    if (!exchange(request.dump())) return reply;
    reply.ms = ms_since(started);
    const Json answer = Json::parse(answer_, nullptr, false);
    if (answer.is_discarded() || !answer.contains("result")) {
      reply.text = answer_;
      return reply;
    }
    reply.text = answer["result"]["content"][0]["text"].get<std::string>();
    reply.is_error = answer["result"]["isError"].get<bool>();
    return reply;
  }

 private:
  bool exchange(const std::string& line) {
    if (!write_all(process_->in.get(), line + "\n")) return false;
    const auto got = in_.next(CALL_WAIT);
    if (!got) return false;
    answer_ = std::string(*got);
    return true;
  }

  std::unique_ptr<Process> process_;
  LineIn in_;
  bool ready_ = false;
  int id_ = 1;
  std::string answer_;
};

// The number of notes a search_notes reply found; none when it failed.
std::optional<int64_t> found(const Reply& reply) {
  if (reply.is_error) return std::nullopt;
  const Json result = Json::parse(reply.text, nullptr, false);
  if (!result.is_object() || !result.contains("total")) return std::nullopt;
  return result["total"].get<int64_t>();
}

struct Stats {
  double median = 0;
  double max = 0;
};

Stats stats_of(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t half = samples.size() / 2;
  const double median =
      samples.size() % 2 == 1 ? samples[half] : (samples[half - 1] + samples[half]) / 2;
  return {median, samples.back()};
}

// One figure at one size: its value (or the max too, for timings), its ratio to the floor, or
// why it is missing.
struct Cell {
  std::optional<Stats> value;
  bool with_max = false;
  std::optional<double> ratio;
  std::string missing = "—";
};

enum class Rule { SEARCH, LISTING, BY_ID, RESTART, BUILD, INDEX_SIZE, RSS, CHANGE, JOURNAL, NONE };

struct Row {
  std::string figure;
  Rule rule;
  std::map<int, Cell> at;  // by size
};

constexpr const char* TARGETS[] = {
    "≤ 0.25× grep at 10,000 and 100,000; < 2× from 10,000 to 100,000",
    "≤ 0.25× grep at 100,000",
    "≤ 3× by path at 100,000",
    "≤ 0.5× grep at 100,000",
    "≤ 5 s at 10,000, ≤ 60 s at 100,000",
    "≤ 1.5× the notes' text at 10,000 and 100,000",
    "≤ 300 MiB at 100,000",
    "≤ 1 s",
    "≤ 1.5× without the journal at 10,000",
    "",
};

std::optional<double> value_at(const Row& row, int size) {
  auto cell = row.at.find(size);
  if (cell == row.at.end() || !cell->second.value) return std::nullopt;
  return cell->second.value->median;
}

std::optional<double> ratio_at(const Row& row, int size) {
  auto cell = row.at.find(size);
  return cell == row.at.end() ? std::nullopt : cell->second.ratio;
}

// Met, not met, or none when no size the target names was measured.
std::optional<bool> verdict(const Row& row) {
  std::optional<bool> met;
  auto require = [&](std::optional<double> value, double bound) {
    if (!value) return;
    met = met.value_or(true) && *value <= bound;
  };
  switch (row.rule) {
    case Rule::SEARCH:
      require(ratio_at(row, 10'000), 0.25);
      require(ratio_at(row, 100'000), 0.25);
      if (auto small = value_at(row, 10'000), large = value_at(row, 100'000); small && large) {
        require(*large / *small, 1.999);
      }
      break;
    case Rule::LISTING:
      require(ratio_at(row, 100'000), 0.25);
      break;
    case Rule::BY_ID:
      require(ratio_at(row, 100'000), 3);
      break;
    case Rule::RESTART:
      require(ratio_at(row, 100'000), 0.5);
      break;
    case Rule::BUILD:
      require(value_at(row, 10'000), 5);
      require(value_at(row, 100'000), 60);
      break;
    case Rule::INDEX_SIZE:
      require(ratio_at(row, 10'000), 1.5);
      require(ratio_at(row, 100'000), 1.5);
      break;
    case Rule::RSS:
      require(value_at(row, 100'000), 300);
      break;
    case Rule::CHANGE:
      for (const auto& [size, cell] : row.at)
        require(cell.value ? std::optional(cell.value->max) : std::nullopt, 1000);
      break;
    case Rule::JOURNAL:
      require(ratio_at(row, 10'000), 1.5);
      break;
    case Rule::NONE:
      break;
  }
  return met;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.2f", value);
  return text;
}

// Written left to right: inserting into the string trips a false GCC 12 warning at -O3.
std::string with_commas(int value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string cell_text(const Cell& cell) {
  if (!cell.value) return cell.missing;
  std::string text = number(cell.value->median);
  if (cell.with_max) text += " (" + number(cell.value->max) + ")";
  if (cell.ratio) text += " · " + number(*cell.ratio) + "×";
  return text;
}

// Everything one size contributes, row by row.
class Measurement {
 public:
  Measurement(std::vector<Row>& rows, int size) : rows_(rows), size_(size) {}

  Row& row(const std::string& figure, Rule rule) {
    auto found = std::find_if(rows_.begin(), rows_.end(),
                              [&](const Row& row) { return row.figure == figure; });
    if (found != rows_.end()) return *found;
    rows_.push_back(Row{figure, rule, {}});
    return rows_.back();
  }

  void put(const std::string& figure, Rule rule, std::optional<Stats> value, bool with_max,
           std::optional<double> floor, std::string missing = "failed") {
    Cell cell;
    cell.value = value;
    cell.with_max = with_max;
    if (value && floor && *floor > 0) cell.ratio = value->median / *floor;
    cell.missing = std::move(missing);
    row(figure, rule).at[size_] = cell;
  }

 private:
  std::vector<Row>& rows_;
  int size_;
};

// Median and max of REPETITIONS runs of `once` after one to warm up; none if any failed.
std::optional<Stats> timed(const std::function<std::optional<double>()>& once) {
  if (!once()) return std::nullopt;
  std::vector<double> samples;
  for (int i = 0; i < REPETITIONS; ++i) {
    const auto sample = once();
    if (!sample) return std::nullopt;
    samples.push_back(*sample);
  }
  return stats_of(samples);
}

std::optional<double> grep_ms(const std::string& word, const std::string& root) {
  const auto started = Clock::now();
  auto grep = Process::spawn({"grep", "-rlF", word, root}, {}, false, false, false);
  if (!grep) return std::nullopt;
  const int status = grep->wait_exit();
  return status == 0 || status == 1 ? std::optional(ms_since(started)) : std::nullopt;
}

std::optional<double> call_ms(Client& client, const std::string& tool, const Json& arguments) {
  const Reply reply = client.call(tool, arguments);
  if (reply.is_error) {
    std::fprintf(stderr, "vault: %s failed: %.300s\n", tool.c_str(), reply.text.c_str());
    return std::nullopt;
  }
  return reply.ms;
}

double bytes_under(const fs::path& dir, const std::function<bool(const fs::path&)>& counted) {
  double bytes = 0;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error) && counted(it->path())) bytes += it->file_size(error);
  }
  return bytes;
}

// Milliseconds until search_notes for `word` finds `wanted` notes (any, when `wanted` is
// positive; none, when zero), polling as fast as answers come.
std::optional<double> until_found(Client& client, const std::string& word, bool present,
                                  Clock::time_point changed) {
  while (Clock::now() - changed < CHANGE_WAIT) {
    const auto total = found(client.call("search_notes", Json{{"query", word}}));
    if (total && (*total > 0) == present) return ms_since(changed);
    std::this_thread::sleep_for(milliseconds(2));
  }
  return std::nullopt;
}

bool write_file(const std::string& file, const std::string& text, bool append) {
  std::ofstream out(file, append ? std::ios::app : std::ios::trunc);
  return static_cast<bool>(out << text) && static_cast<bool>(out.flush());
}

struct Options {
  bool quick = false;
  int long_run = 0;
  std::vector<int> sizes{1'000, 10'000, 100'000};
  std::string dir = "/tmp/kestil-vault";
  std::string server = KESTIL_MCP_BINARY;
  std::string app = KESTIL_FOLDER_BINARY;
};

// Measures one size; returns the number of figures that failed.
int measure(std::vector<Row>& rows, const Options& options, int size) {
  Measurement put(rows, size);
  const std::string base = options.dir + "/vault-" + std::to_string(size);
  const std::string root = base + "/Notes";
  if (!ensure_vault(root, size)) {
    std::fprintf(stderr, "vault: could not write the space in %s\n", root.c_str());
    return 1;
  }
  const VaultFacts facts = vault_facts(size);
  int failures = 0;
  auto note_failure = [&](const auto& value) {
    if (!value) ++failures;
    return value;
  };

  std::fprintf(stderr, "vault: %d notes: grep\n", size);
  std::map<std::string, std::optional<Stats>> floors;
  for (const std::string word : {COMMON_WORD, RARE_WORD, "budget", PHRASE}) {
    floors[word] = note_failure(timed([&] { return grep_ms(word, root); }));
    put.put("grep -rlF " + word + " (floor, ms)", Rule::NONE, floors[word], true, std::nullopt);
  }
  auto floor = [&](const std::string& word) -> std::optional<double> {
    return floors[word] ? std::optional(floors[word]->median) : std::nullopt;
  };

  std::fprintf(stderr, "vault: %d notes: first start\n", size);
  const std::string config = base + "/config";
  fs::remove_all(config);
  fs::create_directories(config);
  auto app = std::make_unique<App>(options.app, config, root);
  if (!app->wait_endpoint(milliseconds(60'000))) {
    std::fprintf(stderr, "vault: kestil-folder did not publish its endpoint\n");
    return 1;
  }
  const auto build_ms = app->wait_first_build(no_index_sign(size));
  put.put("first build of the index (s)", Rule::BUILD,
          build_ms ? std::optional(Stats{*build_ms / 1e3, *build_ms / 1e3}) : std::nullopt, false,
          std::nullopt, fs::exists(config + "/index") ? "untimed (no ready line)" : "no index");
  // The calls are timed on the ready index, not on the scan that answers until then.
  if (build_ms) app->wait_ready(BUILD_WAIT);

  Client client(options.server, config);
  if (!client.ready()) {
    std::fprintf(stderr, "vault: kestil-mcp did not initialize\n");
    return 1;
  }
  std::fprintf(stderr, "vault: %d notes: calls\n", size);
  struct Call {
    std::string figure;
    Rule rule;
    std::string tool;
    Json arguments;
    std::optional<double> floor;
  };
  const std::string quoted = "\"" + std::string(PHRASE) + "\"";
  const std::vector<Call> calls = {
      {"search_notes, a common word (ms)", Rule::SEARCH, "search_notes",
       Json{{"query", COMMON_WORD}}, floor(COMMON_WORD)},
      {"search_notes, a rare word (ms)", Rule::SEARCH, "search_notes", Json{{"query", RARE_WORD}},
       floor(RARE_WORD)},
      {"search_notes, two words (ms)", Rule::SEARCH, "search_notes", Json{{"query", PHRASE}},
       floor("budget")},
      {"search_notes, a quoted phrase (ms)", Rule::SEARCH, "search_notes", Json{{"query", quoted}},
       floor(PHRASE)},
      {"get_backlinks of the most linked note (ms)", Rule::LISTING, "get_backlinks",
       Json{{"note", facts.hub_title}}, floor(COMMON_WORD)},
      {"list_tags (ms)", Rule::LISTING, "list_tags", Json::object(), floor(COMMON_WORD)},
      {"list_recent (ms)", Rule::LISTING, "list_recent", Json::object(), floor(COMMON_WORD)},
      {"notes_with_tag (ms)", Rule::LISTING, "notes_with_tag", Json{{"tag", COMMON_TAG}},
       floor(COMMON_WORD)},
      {"list_tasks (ms)", Rule::LISTING, "list_tasks", Json::object(), floor(COMMON_WORD)},
  };
  for (const Call& call : calls) {
    put.put(call.figure, call.rule,
            note_failure(timed([&] { return call_ms(client, call.tool, call.arguments); })), true,
            call.floor);
  }
  const auto by_path = note_failure(timed([&] {
    return call_ms(client, "read_note", Json{{"note", facts.sample_path}});
  }));
  const auto by_id = note_failure(timed([&] {
    return call_ms(client, "read_note", Json{{"note", facts.sample_id}});
  }));
  put.put("read_note by path (ms)", Rule::NONE, by_path, true, std::nullopt);
  put.put("read_note by id (ms)", Rule::BY_ID, by_id, true,
          by_path ? std::optional(by_path->median) : std::nullopt);
  auto append = [&](const std::string& note) {
    return call_ms(client, "append_to_note", Json{{"note", note}, {"markdown", "One more line."}});
  };
  const auto append_path = note_failure(timed([&] { return append(SCRATCH_NOTE); }));
  const auto append_id = note_failure(timed([&] { return append(facts.scratch_id); }));
  put.put("append_to_note by path (ms)", Rule::NONE, append_path, true, std::nullopt);
  put.put("append_to_note by id (ms)", Rule::BY_ID, append_id, true,
          append_path ? std::optional(append_path->median) : std::nullopt);

  std::fprintf(stderr, "vault: %d notes: outside changes\n", size);
  const std::string stamp =
      std::to_string(std::chrono::system_clock::now().time_since_epoch().count() % 1'000'000'007);
  auto marker = [&](const char* kind) {
    std::string word = std::string("qx") + kind;
    for (char digit : stamp) word += static_cast<char>('a' + (digit - '0'));
    return word;
  };
  const std::string appended = marker("append"), made = marker("new");
  const std::string inbox = root + "/Inbox/";
  auto change = [&](const std::function<bool()>& act, const std::string& word, bool present) {
    const auto started = Clock::now();
    if (!act()) return std::optional<Stats>();
    const auto ms = until_found(client, word, present, started);
    return ms ? std::optional(Stats{*ms, *ms}) : std::nullopt;
  };
  put.put("outside append → found by search_notes (ms)", Rule::CHANGE,
          note_failure(change(
              [&] {
                return write_file(inbox + "Outside change.md", "\nNew words: " + appended + ".\n",
                                  true);
              },
              appended, true)),
          false, std::nullopt);
  put.put("outside new file (temp + rename) → found (ms)", Rule::CHANGE,
          note_failure(change(
              [&] {
                return write_file(inbox + ".outside-new.tmp", "# Outside new\n\n" + made + "\n",
                                  false) &&
                       ::rename((inbox + ".outside-new.tmp").c_str(),
                                (inbox + "Outside new.md").c_str()) == 0;
              },
              made, true)),
          false, std::nullopt);
  put.put("outside delete → gone from search_notes (ms)", Rule::CHANGE,
          note_failure(change([&] { return ::unlink((inbox + "Outside new.md").c_str()) == 0; },
                              made, false)),
          false, std::nullopt);

  const auto rss = high_water_mib(app->pid());
  put.put("kestil-folder peak RSS (MiB)", Rule::RSS,
          rss ? std::optional(Stats{*rss, *rss}) : std::nullopt, false, std::nullopt, "—");
  const double text_mib =
      bytes_under(root, [](const fs::path& file) { return file.extension() == ".md"; }) / (1 << 20);
  const double index_mib = bytes_under(config,
                                       [&](const fs::path& file) {
                                         return file.string().find(config + "/index/") == 0;
                                       }) /
                           (1 << 20);
  put.put("notes' text (MiB)", Rule::NONE, Stats{text_mib, text_mib}, false, std::nullopt);
  put.put("index on disk (MiB)", Rule::INDEX_SIZE,
          index_mib > 0 ? std::optional(Stats{index_mib, index_mib}) : std::nullopt, false,
          text_mib, "no index");

  std::fprintf(stderr, "vault: %d notes: restart\n", size);
  app.reset();
  std::optional<Stats> first;
  {
    App again(options.app, config, root);
    if (again.wait_endpoint(milliseconds(60'000))) {
      Client fresh(options.server, config);
      const auto reply =
          fresh.ready() ? fresh.call("search_notes", Json{{"query", COMMON_WORD}}) : Reply{};
      if (!reply.is_error) {
        const double ms = ms_since(again.started());
        first = Stats{ms, ms};
      }
    }
  }
  put.put("restart → first search_notes answered (ms)", Rule::RESTART, note_failure(first), false,
          floor(COMMON_WORD));

  // The same append with the change journal and without, apps taking turns so that both meet
  // the same load; many samples, as the difference is one flush to disk.
  std::fprintf(stderr, "vault: %d notes: writes with and without the journal\n", size);
  std::vector<double> with_journal, without_journal;
  auto appends = [&](const std::vector<std::string>& more, std::vector<double>& samples) {
    App writer(options.app, config, root, more);
    if (!writer.wait_endpoint(milliseconds(60'000))) return false;
    Client near(options.server, config);
    for (int i = 0; i <= 30 && near.ready(); ++i) {
      const auto ms =
          call_ms(near, "append_to_note", Json{{"note", SCRATCH_NOTE}, {"markdown", "More."}});
      if (!ms) return false;
      if (i > 0) samples.push_back(*ms);  // the first warms up
    }
    return near.ready();
  };
  bool appended_all = true;
  for (int turn = 0; turn < 3; ++turn) {
    appended_all =
        appends({}, with_journal) && appends({"--no-journal"}, without_journal) && appended_all;
  }
  const auto journaled =
      note_failure(appended_all ? std::optional(stats_of(with_journal)) : std::nullopt);
  const auto bare =
      note_failure(appended_all ? std::optional(stats_of(without_journal)) : std::nullopt);
  put.put("append_to_note, no journal (ms)", Rule::NONE, bare, true, std::nullopt);
  put.put("append_to_note, journal kept (ms)", Rule::JOURNAL, journaled, true,
          bare ? std::optional(bare->median) : std::nullopt);
  return failures;
}

// The index's size on disk in MiB (its folder alone: the journal beside it is not the index).
double index_mib(const std::string& config) {
  return bytes_under(config + "/index", [](const fs::path&) { return true; }) / (1 << 20);
}

// Median of search_notes for each of the vault's words, in ms; none when one failed.
std::optional<double> search_ms(Client& client) {
  std::vector<double> samples;
  for (const char* word : {COMMON_WORD, RARE_WORD, PHRASE}) {
    const auto stats = timed([&] {
      return call_ms(client, "search_notes", Json{{"query", word}});
    });
    if (!stats) return std::nullopt;
    samples.push_back(stats->median);
  }
  return stats_of(samples).median;
}

// The long run at one size (see the top of the file); prints its rows, returns its failures.
int measure_long_run(const Options& options, int size) {
  const std::string base = options.dir + "/vault-" + std::to_string(size);
  const std::string root = base + "/Notes", config = base + "/config-long";
  const std::string log_note = "Inbox/Long log", log_file = root + "/" + log_note + ".md";
  const std::string outside_file = root + "/" + OUTSIDE_NOTE + ".md";
  if (!ensure_vault(root, size)) return 1;
  std::string lines;
  for (int i = 0; i < 2'000; ++i) {
    lines += "- " + std::to_string(i) + ": checked the " + (i % 7 ? "budget" : "meeting") +
             " notes and filed them\n";
  }
  if (!write_file(log_file, lines, false)) return 1;
  fs::remove_all(config);
  auto app = std::make_unique<App>(options.app, config, root);
  if (!app->wait_endpoint(milliseconds(60'000)) || !app->wait_ready(BUILD_WAIT)) return 1;
  Client client(options.server, config);
  if (!client.ready()) return 1;
  std::fprintf(stderr, "vault: %d notes: %d appends and %d outside saves\n", size, options.long_run,
               options.long_run);
  std::vector<double> lags;
  int stale = 0;
  for (int i = 0; i < options.long_run; ++i) {
    const Reply appended = client.call(
        "append_to_note",
        Json{{"note", log_note}, {"markdown", "- " + std::to_string(i) + ": one more line"}});
    if (appended.is_error) return 1;
    // Every other save goes through a temporary file renamed over the note, as editors do.
    std::string word = "qlong";
    for (char digit : std::to_string(i)) word += static_cast<char>('a' + (digit - '0'));
    const std::string text = "# Outside change\n\nSaved from outside: " + word + ".\n";
    const auto saved = Clock::now();
    const bool wrote =
        i % 2 ? write_file(outside_file, text, false)
              : write_file(outside_file + ".tmp", text, false) &&
                    ::rename((outside_file + ".tmp").c_str(), outside_file.c_str()) == 0;
    if (!wrote) return 1;
    const auto first = found(client.call("search_notes", Json{{"query", word}}));
    if (!first || *first == 0) ++stale;
    lags.push_back(ms_since(saved));
  }
  std::this_thread::sleep_for(milliseconds(3'000));  // the index tidies itself once it is quiet
  const double long_mib = index_mib(config);
  const auto long_search = search_ms(client);
  app.reset();
  fs::remove_all(config);
  app = std::make_unique<App>(options.app, config, root);
  if (!app->wait_endpoint(milliseconds(60'000)) || !app->wait_ready(BUILD_WAIT)) return 1;
  Client fresh(options.server, config);
  const double fresh_mib = index_mib(config);
  const auto fresh_search = fresh.ready() ? search_ms(fresh) : std::nullopt;
  app.reset();
  fs::remove(log_file);
  fs::remove_all(config);
  if (!long_search || !fresh_search) return 1;
  // Taken out of the optionals first, clear of a false GCC 12 warning.
  const double long_ms = long_search.value_or(0), fresh_ms = fresh_search.value_or(1);
  const Stats lag = stats_of(lags);
  std::printf(
      "| %s notes | %s MiB | %s MiB | %.2f× | %s ms | %s ms | %.2f× | %s (%s) ms | %d of %d |\n",
      with_commas(size).c_str(), number(long_mib).c_str(), number(fresh_mib).c_str(),
      long_mib / fresh_mib, number(long_ms).c_str(), number(fresh_ms).c_str(), long_ms / fresh_ms,
      number(lag.median).c_str(), number(lag.max).c_str(), stale, options.long_run);
  return 0;
}

void print_table(const std::vector<Row>& rows, const std::vector<int>& sizes) {
  std::printf("| figure |");
  for (int size : sizes) std::printf(" %s notes |", with_commas(size).c_str());
  std::printf(" target | met |\n|---|");
  for (std::size_t i = 0; i < sizes.size(); ++i) std::printf("---|");
  std::printf("---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %s |", row.figure.c_str());
    for (int size : sizes) {
      auto cell = row.at.find(size);
      std::printf(" %s |", cell == row.at.end() ? "—" : cell_text(cell->second).c_str());
    }
    const auto met = verdict(row);
    std::printf(" %s | %s |\n", TARGETS[static_cast<int>(row.rule)],
                !met   ? "—"
                : *met ? "met"
                       : "not met");
  }
}

std::optional<std::vector<int>> parse_sizes(const std::string& text) {
  std::vector<int> sizes;
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part, ',');) {
    const int size = std::atoi(part.c_str());
    if (size < 10) return std::nullopt;
    sizes.push_back(size);
  }
  return sizes.empty() ? std::nullopt : std::optional(sizes);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      options.quick = true;
      options.sizes = {300};
    } else if (arg == "--sizes" && has_value) {
      const auto sizes = parse_sizes(argv[++i]);
      if (!sizes) return std::fprintf(stderr, "kestil_vault_bench: bad --sizes\n"), 2;
      options.sizes = *sizes;
    } else if (arg == "--dir" && has_value) {
      options.dir = argv[++i];
    } else if (arg == "--server" && has_value) {
      options.server = argv[++i];
    } else if (arg == "--app" && has_value) {
      options.app = argv[++i];
    } else if (arg == "--long-run" && has_value) {
      options.long_run = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: kestil_vault_bench [--quick] [--sizes N,N,...] [--dir DIR] "
                   "[--server PATH] [--app PATH] [--long-run N]\n");
      return 2;
    }
  }
  int failures = 0;
  if (options.long_run > 0) {
    std::printf(
        "| space | index after the run | fresh build | ratio | search after (ms) | fresh "
        "(ms) | ratio | outside save → answer that sees it | stale answers |\n"
        "|---|---|---|---|---|---|---|---|---|\n");
    for (int size : options.sizes) failures += measure_long_run(options, size);
    return failures > 0 ? 1 : 0;
  }
  std::vector<Row> rows;
  for (int size : options.sizes) failures += measure(rows, options, size);
  print_table(rows, options.sizes);
  if (failures > 0) {
    std::fprintf(stderr, "kestil_vault_bench: %d measurements failed\n", failures);
    return 1;
  }
  return 0;
}
