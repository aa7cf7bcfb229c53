// kestil-folder: the note app for folders of Markdown files. Publishes its endpoint in the
// config dir, serves kestil-mcp over a Unix socket, and tidies up on SIGINT and SIGTERM.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "folder_lock.h"
#include "index/note_index.h"
#include "ipc.h"
#include "journal.h"
#include "journal_commands.h"
#include "protocol.h"
#include "server.h"
#include "store.h"
#include "tools.h"

namespace {

using kestil::Json;
using kestil::UniqueFd;

constexpr const char* USAGE =
    "usage: kestil-folder [--read-only] [--no-journal] [--journal-days N] [--journal-size BYTES]\n"
    "                     --config-dir DIR SPACE_DIR...\n"
    "       kestil-folder log|show|undo --config-dir DIR ...   (kestil-folder log --help)\n"
    "\n"
    "Serves each SPACE_DIR (a folder of Markdown notes, named by its folder name; the first is\n"
    "the open one) to kestil-mcp. Publishes DIR/mcp/endpoint.json for it; start kestil-mcp with\n"
    "KESTIL_CONFIG_DIR=DIR. Stop with SIGINT or SIGTERM.\n"
    "\n"
    "  --read-only   the assistant may read the notes but not write: every write tool answers\n"
    "                an error and nothing in the SPACE_DIRs changes.\n"
    "  --journal-days N, --journal-size BYTES\n"
    "                every change to a note is recorded in DIR/journal.sqlite first; it keeps\n"
    "                the changes of the last N days (90) in at most BYTES (256M; K, M, G).\n"
    "  --no-journal  keep no journal: changes cannot be listed or taken back.\n"
    "\n"
    "At start the temporary files of writes an earlier run left unfinished are removed. A new\n"
    "note that was never put in place, and a file another program saved over a note in the\n"
    "instant it was written, are moved to DIR/recovered/ (named on stderr), never made notes.\n";

constexpr std::string_view SOCKET_NAME = "folder.sock";

struct Options {
  bool read_only = false;
  bool journal = true;
  kestil::folder::JournalLimits journal_limits;
  std::string config_dir;
  std::vector<std::string> space_dirs;
};

int bad_usage(const std::string& text) {
  std::cerr << "kestil-folder: " << text << "\n" << USAGE;
  return 2;
}

// A positive whole number, with a K, M or G after it when `sized`.
std::optional<int64_t> count_in(std::string_view text, bool sized) {
  int shift = 0;
  if (sized && !text.empty()) {
    const std::string_view units = "KMG";
    if (size_t unit = units.find(text.back()); unit != std::string_view::npos) {
      shift = 10 * static_cast<int>(unit + 1);
      text.remove_suffix(1);
    }
  }
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  const int64_t count = std::stoll(std::string(text)) << shift;
  return count > 0 ? std::optional<int64_t>(count) : std::nullopt;
}

// Options, or the exit status when the program is done (--help, bad usage).
std::variant<Options, int> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << USAGE;
      return 0;
    }
    if (arg == "--read-only") {
      options.read_only = true;
    } else if (arg == "--no-journal") {
      options.journal = false;
    } else if (arg == "--journal-days" && i + 1 < argc) {
      std::optional<int64_t> days = count_in(argv[++i], false);
      if (!days) return bad_usage("--journal-days takes a whole number of days");
      options.journal_limits.days = *days;
    } else if (arg == "--journal-size" && i + 1 < argc) {
      std::optional<int64_t> bytes = count_in(argv[++i], true);
      if (!bytes) return bad_usage("--journal-size takes a size in bytes, like 64M");
      options.journal_limits.bytes = *bytes;
    } else if (arg == "--config-dir" && i + 1 < argc) {
      options.config_dir = argv[++i];
    } else if (arg.starts_with("--config-dir=")) {
      options.config_dir = std::string(arg.substr(std::strlen("--config-dir=")));
    } else if (arg.starts_with("-")) {
      std::cerr << "kestil-folder: unknown option " << arg << "\n" << USAGE;
      return 2;
    } else {
      options.space_dirs.emplace_back(arg);
    }
  }
  if (options.config_dir.empty() || options.space_dirs.empty()) {
    std::cerr << "kestil-folder: need --config-dir DIR and at least one SPACE_DIR\n" << USAGE;
    return 2;
  }
  return options;
}

std::optional<std::string> real_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// `path` as a directory: created when missing, refused when it is something else.
bool ensure_directory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return true;
  struct stat status {};
  return errno == EEXIST && ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A directory only this user can enter: the socket in it is then reachable by no one else,
// whatever the umask.
bool ensure_private_directory(const std::string& path) {
  struct stat status {};
  return ensure_directory(path, 0700) && ::lstat(path.c_str(), &status) == 0 &&
         status.st_uid == ::getuid() && ::chmod(path.c_str(), 0700) == 0;
}

// Held for the life of the process, so two instances started at the same moment cannot both
// pass the endpoint check below and take each other's socket.
UniqueFd lock_instance(const std::string& mcp_dir) {
  const std::string path = kestil::join_path(mcp_dir, "kestil-folder.lock");
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return UniqueFd();
  return fd;
}

// Another instance is live when its process exists and its socket accepts a connection; a
// crashed one leaves an endpoint that is simply taken over.
bool endpoint_is_live(const kestil::Endpoint& endpoint) {
  const bool process_exists = endpoint.pid > 0 && endpoint.pid <= INT_MAX &&
                              (::kill(static_cast<pid_t>(endpoint.pid), 0) == 0 || errno == EPERM);
  return process_exists && kestil::connect_unix_socket(endpoint.socket).valid();
}

struct SocketPlace {
  std::string directory;
  std::string path;
  bool own_directory = false;  // made for this run, removed at exit
};

// DIR/mcp/run when the socket path fits the limit there, else a fresh private directory in
// the runtime dir or /tmp.
std::optional<SocketPlace> choose_socket_place(const std::string& mcp_dir) {
  const std::string run_dir = kestil::join_path(mcp_dir, "run");
  const std::string in_run = kestil::join_path(run_dir, SOCKET_NAME);
  if (in_run.size() <= kestil::MAX_SOCKET_PATH_BYTES) {
    if (!ensure_private_directory(run_dir)) return std::nullopt;
    return SocketPlace{run_dir, in_run, false};
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = runtime && *runtime ? runtime : "/tmp";
  std::string pattern = kestil::join_path(base, "kestil-folder-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  std::string path = kestil::join_path(pattern, SOCKET_NAME);
  if (path.size() > kestil::MAX_SOCKET_PATH_BYTES) {
    ::rmdir(pattern.c_str());
    return std::nullopt;
  }
  return SocketPlace{pattern, path, true};
}

// Writes the endpoint file whole or not at all: a reader sees the old file or the new one.
bool publish_endpoint(const std::string& mcp_dir, const std::string& socket_path) {
  const Json record{{"app_version", KESTIL_FOLDER_VERSION},
                    {"pid", static_cast<int64_t>(::getpid())},
                    {"socket", socket_path},
                    {"v", 1}};
  // The same temp-file, flush and rename as every note write; the 0700 mcp dir keeps it private.
  return !kestil::folder::write_atomically(kestil::join_path(mcp_dir, "endpoint.json"),
                                           kestil::to_compact(record) + "\n");
}

// Tidies each space after an earlier run and says what it did, or "" when there was nothing.
std::string tidy_spaces(const std::vector<kestil::folder::Space>& spaces,
                        const std::string& recovered_dir) {
  std::string said;
  size_t removed = 0;
  for (const kestil::folder::Space& space : spaces) {
    kestil::folder::Tidied tidied = kestil::folder::tidy_temporary_files(space, recovered_dir);
    removed += tidied.removed;
    for (const std::string& file : tidied.recovered) {
      said += "; moved what an unfinished write left in " + space.name + " to " + file;
    }
    for (const std::string& file : tidied.kept) {
      said += "; kept what an unfinished write left at " + file + " (" + recovered_dir +
              " could not take it)";
    }
  }
  if (removed > 0) {
    said += "; removed " + std::to_string(removed) + " temporary file" + (removed == 1 ? "" : "s") +
            " of unfinished writes";
  }
  return said.empty() ? said : said.substr(2);
}

// Gives each space its index, kept in DIR/index/<space>.sqlite. A space whose index cannot be
// kept is served by scanning its files, as before.
void open_indexes(const std::string& config_dir, std::vector<kestil::folder::Space>& spaces) {
  const std::string index_dir = kestil::join_path(config_dir, "index");
  if (!ensure_directory(index_dir, 0700)) {
    std::cerr << "kestil-folder: cannot create " << index_dir << "; searching the files instead\n";
    return;
  }
  for (kestil::folder::Space& space : spaces) {
    std::string name = space.name == "/" ? "root" : space.name;
    auto opened =
        kestil::folder::NoteIndex::open(space, kestil::join_path(index_dir, name + ".sqlite"));
    if (auto* failed = std::get_if<kestil::folder::Failure>(&opened)) {
      std::cerr << "kestil-folder: " << failed->text << "; searching the files of " << space.name
                << " instead\n";
      continue;
    }
    space.index = std::get<std::shared_ptr<kestil::folder::NoteIndex>>(opened);
  }
}

int fail(const std::string& message) {
  std::cerr << "kestil-folder: " << message << "\n";
  return 1;
}

int run(const Options& options) {
  auto opened = kestil::folder::open_spaces(options.space_dirs);
  if (auto* message = std::get_if<std::string>(&opened)) return fail(*message);

  std::error_code ignored;
  std::filesystem::create_directories(options.config_dir, ignored);
  // kestil-mcp runs elsewhere, so the published socket path must not depend on our cwd.
  const std::optional<std::string> config_dir = real_path(options.config_dir);
  if (!config_dir) return fail("cannot use config dir " + options.config_dir);
  const std::string mcp_dir = kestil::join_path(*config_dir, "mcp");
  if (!ensure_directory(mcp_dir, 0700)) return fail("cannot create " + mcp_dir);

  const UniqueFd instance_lock = lock_instance(mcp_dir);
  if (!instance_lock.valid()) {
    return fail("another instance of kestil-folder already serves " + *config_dir +
                "; stop it first");
  }
  if (auto endpoint = kestil::read_endpoint(*config_dir); endpoint && endpoint_is_live(*endpoint)) {
    return fail("another instance (pid " + std::to_string(endpoint->pid) + ") already serves " +
                *config_dir + "; stop it first");
  }
  std::vector<std::string> roots;
  for (const auto& space : std::get<std::vector<kestil::folder::Space>>(opened)) {
    roots.push_back(space.root);
  }
  // Two apps writing one folder would each check only their own writes.
  auto folder_locks = kestil::folder::FolderLocks::take(roots);
  if (auto* refused = std::get_if<std::string>(&folder_locks)) return fail(*refused);

  std::shared_ptr<kestil::folder::Journal> journal;
  if (options.journal) {
    auto kept = kestil::folder::Journal::open(*config_dir, options.journal_limits);
    if (auto* failed = std::get_if<kestil::folder::Failure>(&kept)) {
      return fail(failed->text + "; start with --no-journal to write without one");
    }
    journal = std::move(std::get<std::unique_ptr<kestil::folder::Journal>>(kept));
  }

  const std::optional<SocketPlace> place = choose_socket_place(mcp_dir);
  if (!place) return fail("cannot make a private directory for the socket");
  ::unlink(place->path.c_str());  // left by an instance that did not exit cleanly
  UniqueFd listener = kestil::listen_unix_socket(place->path);
  if (!listener.valid()) {
    return fail("cannot listen on " + place->path + ": " + std::strerror(errno));
  }

  // Signals are taken by sigwait below only; every thread started from here inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // Bridges that connect before the accept loop starts wait in the listen backlog.
  if (!publish_endpoint(mcp_dir, place->path)) {
    ::unlink(place->path.c_str());
    if (place->own_directory) ::rmdir(place->directory.c_str());
    return fail("cannot write " + kestil::join_path(mcp_dir, "endpoint.json"));
  }
  auto spaces = std::get<std::vector<kestil::folder::Space>>(std::move(opened));
  for (kestil::folder::Space& space : spaces) {
    space.read_only = options.read_only;
    space.journal = journal;
  }
  open_indexes(*config_dir, spaces);
  kestil::folder::Server server(spaces);
  // Never joined: the process ends by _exit below, so this thread and the ones it starts may
  // refer to this frame.
  std::thread([&server, &listener] { server.serve(listener); }).detach();
  std::cerr << "kestil-folder: serving " << spaces.size()
            << (spaces.size() == 1 ? " space" : " spaces") << " (open: " << spaces.front().name
            << (options.read_only ? ", read-only" : "") << ") for " << *config_dir << "\n";
  // Leftovers of an earlier run are tidied while reads are answered already (a walk of every
  // folder takes a while in a large space); writes wait for it.
  // Then the journal's entries that a crash left pending are settled by what the notes hold.
  if (!options.read_only) {
    std::thread([&server, spaces, journal,
                 recovered_dir = kestil::join_path(*config_dir, "recovered")] {
      const std::lock_guard no_writes(server.writes_mutex());
      if (std::string tidied = tidy_spaces(spaces, recovered_dir); !tidied.empty()) {
        std::cerr << "kestil-folder: " << tidied << "\n";
      }
      if (journal) journal->settle_pending();
    }).detach();
  }
  // Calls are answered by scanning the files until a space's first build is done.
  for (const kestil::folder::Space& space : spaces) {
    if (space.index) std::thread([index = space.index] { index->follow(&std::cerr); }).detach();
  }

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  // With the writes' lock held no note is half-written, and none will be: the process ends
  // here without letting the serving threads run again.
  server.writes_mutex().lock();
  if (auto endpoint = kestil::read_endpoint(*config_dir);
      endpoint && endpoint->pid == static_cast<uint32_t>(::getpid())) {
    ::unlink(kestil::join_path(mcp_dir, "endpoint.json").c_str());
  }
  ::unlink(place->path.c_str());
  if (place->own_directory) ::rmdir(place->directory.c_str());
  std::cout.flush();
  std::cerr.flush();
  ::_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && kestil::folder::is_journal_verb(argv[1])) {
    return kestil::folder::run_journal_verb(std::vector<std::string>(argv + 1, argv + argc));
  }
  auto parsed = parse_options(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  return run(std::get<Options>(parsed));
}
