// Plays every file in tests/transcripts through the real binary, with this process standing in
// for both the host (the server's stdin and stdout) and the note app (its socket). A file holds
// sessions; "=== title" starts one with a fresh server and a fresh config dir ({dir}). Lines:
//   args: A B...       server arguments (default --no-launch); env: N=V or env: -N ({dir} known)
//   > LINE             the host sends LINE and LF        send: BYTES   the host sends BYTES
//   < LINE             the server's next line is exactly LINE;  <* GLOB  it matches (* is any run)
//   close: stdin       the host ends its input;  close: stdout  the host stops reading
//   app: start [SOCK]  listen on {dir}/SOCK (app.sock) and publish the endpoint
//   app: listen [SOCK] / app: publish / app: accept / app: hangup / app: quit / app: wait MS
//   app: greet         accept, take a hello and answer it ok with the server's own catalog hash
//   app< LINE          the next line the app receives is exactly LINE
//   app> LINE          the app writes LINE and LF ({hash}: the server's own catalog hash)
//   app: send BYTES    the app writes BYTES ({hash} too)
// BYTES are C-escaped (\n \r \t \v \f \\ \xHH). At the end of a session the host closes stdin: the
// server must exit 0 with nothing more on stdout, nothing on stderr and nothing unread by the app.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "catalog.h"
#include "ipc.h"

namespace kestil {
namespace {

namespace fs = std::filesystem;
// Nothing in a transcript takes a server more than a fraction of this, even under valgrind.
constexpr int WAIT_MS = 5'000;

std::string unescape(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'x') {
      bytes += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      const std::string_view from = "nrtvf", to = "\n\r\t\v\f";
      bytes += from.find(c) == from.npos ? c : to[from.find(c)];
    }
  }
  return bytes;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != text.npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// LF-terminated lines from a descriptor; each wait for more bytes lasts at most `wait_ms`.
class Lines {
 public:
  std::optional<std::string> next(int wait_ms = WAIT_MS) {
    for (;;) {
      if (const std::size_t lf = buffer.find('\n'); lf != buffer.npos) {
        std::string line = buffer.substr(0, lf);
        buffer.erase(0, lf + 1);
        return line;
      }
      pollfd entry{fd.get(), POLLIN, 0};
      char chunk[65536];
      if (!fd.valid() || ::poll(&entry, 1, wait_ms) <= 0) return std::nullopt;
      const ssize_t count = ::read(fd.get(), chunk, sizeof chunk);
      if (count <= 0) return std::nullopt;
      buffer.append(chunk, static_cast<std::size_t>(count));
    }
  }

  UniqueFd fd;
  std::string buffer;
};

// True when `text` matches `pattern`, in which each * stands for any run of bytes.
bool matches(std::string_view text, std::string_view pattern) {
  const std::size_t star = pattern.find('*');
  if (star == pattern.npos) return text == pattern;
  if (!text.starts_with(pattern.substr(0, star))) return false;
  text.remove_prefix(star);
  pattern.remove_prefix(star + 1);
  for (std::size_t at = 0; at <= text.size(); ++at) {
    if (matches(text.substr(at), pattern)) return true;
  }
  return false;
}

class Session {
 public:
  Session(std::string file, int line) : file_(std::move(file)), line_(line) {
    char pattern[] = "/tmp/kst-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    env_["KESTIL_CONFIG_DIR"] = dir_;
  }
  ~Session() {
    if (pid_ > 0 && failed_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    if (pid_ > 0 && !failed_) finish();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  bool failed() const { return failed_; }

  // Plays one line of the transcript; false when it fails.
  bool play(const std::string& text, int line) {
    line_ = line;
    const auto arg = [&](std::string_view prefix) { return text.substr(prefix.size()); };
    if (text.starts_with("args:")) {
      std::istringstream words(arg("args:"));
      args_.assign(std::istream_iterator<std::string>(words), {});
      return true;
    }
    if (text.starts_with("env: -")) return env_.erase(arg("env: -")), true;
    if (text.starts_with("env: ")) {
      const std::string entry = replace_all(arg("env: "), "{dir}", dir_);
      env_[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
      return true;
    }
    if (text.starts_with("app")) return play_app(text);
    std::signal(SIGPIPE, SIG_IGN);  // a server that ended must show as a failed write
    if (pid_ < 0 && !start()) return fail("cannot start the server");
    if (text.starts_with("> ")) return write_all(stdin_.get(), arg("> ") + "\n"), true;
    if (text.starts_with("send: ")) return write_all(stdin_.get(), unescape(arg("send: "))), true;
    if (text == "close: stdin") return stdin_ = UniqueFd(), true;
    if (text == "close: stdout") return stdout_.fd = UniqueFd(), true;
    if (text.starts_with("< ")) return expect("server wrote", stdout_.next(), arg("< "), false);
    if (text.starts_with("<* ")) return expect("server wrote", stdout_.next(), arg("<* "), true);
    return fail("unknown line: " + text);
  }

  void finish() {
    stdin_ = UniqueFd();
    if (const std::optional<std::string> extra = stdout_.next()) fail("server wrote " + *extra);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      fail("server status " + std::to_string(status));
    std::ifstream errors(dir_ + "/stderr");
    if (errors.peek() != EOF) fail("server wrote to stderr");
    if (const std::optional<std::string> extra = app_.next(0)) fail("app received " + *extra);
    pollfd entry{listener_.get(), POLLIN, 0};
    if (listener_.valid() && ::poll(&entry, 1, 0) > 0) fail("app has an unaccepted connection");
  }

 private:
  bool fail(const std::string& message) {
    ADD_FAILURE_AT(file_.c_str(), line_) << message.substr(0, 3000);
    failed_ = true;
    return false;
  }

  bool expect(const char* side, const std::optional<std::string>& got, const std::string& wanted,
              bool glob) {
    if (got && (glob ? matches(*got, wanted) : *got == wanted)) return true;
    return fail(std::string(side) + (got ? "\n  " + *got : " nothing") + "\nexpected\n  " + wanted);
  }

  bool play_app(const std::string& text) {
    const auto arg = [&](std::string_view prefix) { return text.substr(prefix.size()); };
    if (text.starts_with("app< ")) return expect("app received", app_.next(), arg("app< "), false);
    if (text.starts_with("app> ")) {
      return send_all(app_.fd.get(), replace_all(arg("app> "), "{hash}", catalog_hash()) + "\n") ||
             fail("app cannot write");
    }
    if (text.starts_with("app: send ")) {
      const std::string bytes = replace_all(arg("app: send "), "{hash}", catalog_hash());
      return send_all(app_.fd.get(), unescape(bytes)) || fail("app cannot write");
    }
    if (text.starts_with("app: wait ")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg("app: wait "))));
      return true;
    }
    if (text == "app: accept") {
      pollfd entry{listener_.get(), POLLIN, 0};
      if (::poll(&entry, 1, WAIT_MS) <= 0) return fail("no connection to the app");
      app_ = Lines{accept_connection(listener_.get()), ""};
      return true;
    }
    if (text == "app: greet") {
      return play_app("app: accept") &&
             expect("app received", app_.next(), R"({"ipc":1,"bridge_version":"0.1.0",*)", true) &&
             play_app(R"(app> {"ok":true,"catalog_hash":"{hash}"})");
    }
    if (text == "app: hangup") return app_ = Lines{}, true;
    if (text == "app: quit") return app_ = Lines{}, listener_ = UniqueFd(), true;
    if (text == "app: publish") return publish() || fail("cannot publish");
    if (text.starts_with("app: listen") || text.starts_with("app: start")) {
      const std::string name =
          text.find(' ', 5) == text.npos ? "app.sock" : text.substr(text.find(' ', 5) + 1);
      socket_ = dir_ + "/" + name;
      listener_ = listen_unix_socket(socket_);
      if (!listener_.valid()) return fail("cannot listen on " + socket_);
      return text.starts_with("app: listen") || publish() || fail("cannot publish");
    }
    return fail("unknown line: " + text);
  }

  bool publish() {
    const std::string config = env_.contains("KESTIL_CONFIG_DIR")
                                   ? env_["KESTIL_CONFIG_DIR"]
                                   : env_["HOME"] + "/Library/Application Support/app.kestil.mac";
    fs::create_directories(config + "/mcp");
    std::ofstream(config + "/mcp/endpoint.json")
        << R"({"v":1,"socket":")" << socket_ << R"(","pid":1,"app_version":"t"})";
    return fs::exists(config + "/mcp/endpoint.json");
  }

  bool start() {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return false;
    std::vector<char*> argv{const_cast<char*>(KESTIL_MCP_BINARY)};
    for (std::string& arg : args_) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT, 0600);
      ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err, 2);
      for (int fd : {in[0], in[1], out[0], out[1], err}) ::close(fd);
      ::unsetenv("KESTIL_CONFIG_DIR"), ::unsetenv("HOME");
      for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]), ::close(out[1]);
    stdin_ = UniqueFd(in[1]);
    stdout_.fd = UniqueFd(out[0]);
    return pid_ > 0;
  }

  std::string file_;
  int line_;
  std::string dir_;
  std::vector<std::string> args_{"--no-launch"};
  std::map<std::string, std::string> env_;
  pid_t pid_ = -1;
  bool failed_ = false;
  UniqueFd stdin_, listener_;
  Lines stdout_, app_;
  std::string socket_;
};

class Transcript : public ::testing::TestWithParam<std::string> {};

TEST_P(Transcript, Plays) {
  const std::string path = std::string(KESTIL_TRANSCRIPTS) + "/" + GetParam() + ".txt";
  std::ifstream file(path);
  ASSERT_TRUE(file) << path;
  std::unique_ptr<Session> session;
  int number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    if (line.starts_with("=== ")) {
      session.reset();
      session = std::make_unique<Session>(path, number);
    } else if (!line.empty() && !line.starts_with('#') && session && !session->failed()) {
      session->play(line, number);
    }
  }
}

std::vector<std::string> transcript_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(KESTIL_TRANSCRIPTS)) {
    if (entry.path().extension() == ".txt") names.push_back(entry.path().stem());
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Files, Transcript, ::testing::ValuesIn(transcript_names()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kestil
