// A fast stand-in for the note app: it publishes <config dir>/mcp/endpoint.json, answers the
// hello with the server's own catalog hash, and answers every call with a reply built once per
// size. The note argument "bench/<bytes>" asks for <bytes> of note text; anything else gets a small
// reply.
//   kestil_bench_app <config dir>
// It serves until killed.
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "ipc.h"
#include "line_in.h"
#include "note_reply.h"

namespace {

using namespace kestil;
using namespace kestil::bench;

constexpr std::size_t SMALL_REPLY_BYTES = 200;
constexpr std::string_view NOTE_PREFIX = "bench/";

// Escaped note texts by size, built on first use and kept: the bench asks for few sizes.
class TextCache {
 public:
  const std::string& get(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = texts_[bytes];
    if (!slot) slot = std::make_unique<std::string>(escaped(note_text(bytes)));
    return *slot;
  }

 private:
  std::mutex mutex_;
  std::map<std::size_t, std::unique_ptr<std::string>> texts_;
};

TextCache texts;

bool write_pieces(int fd, std::initializer_list<std::string_view> pieces) {
  std::vector<iovec> left;
  for (std::string_view piece : pieces) {
    left.push_back({const_cast<char*>(piece.data()), piece.size()});
  }
  std::size_t first = 0;
  while (first < left.size()) {
    const ssize_t wrote = writev(fd, &left[first], static_cast<int>(left.size() - first));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return false;
    auto done = static_cast<std::size_t>(wrote);
    while (first < left.size() && done >= left[first].iov_len) done -= left[first++].iov_len;
    if (first < left.size()) {
      left[first].iov_base = static_cast<char*>(left[first].iov_base) + done;
      left[first].iov_len -= done;
    }
  }
  return true;
}

std::size_t requested_bytes(const nlohmann::json& call) {
  const auto note = call.value("/params/arguments/note"_json_pointer, std::string());
  if (note.rfind(NOTE_PREFIX, 0) != 0) return SMALL_REPLY_BYTES;
  return std::strtoull(note.c_str() + NOTE_PREFIX.size(), nullptr, 10);
}

void serve_connection(UniqueFd socket, std::string hello_reply) {
  LineIn in(socket.get());
  if (!in.next(std::chrono::hours(24)) || !write_all(socket.get(), hello_reply)) return;
  while (auto line = in.next(std::chrono::hours(24))) {
    const auto call = nlohmann::json::parse(*line, nullptr, false);
    if (call.is_discarded() || !call.is_object()) return;
    const std::string id = call.value("id", nlohmann::json()).dump();
    const std::string& text = texts.get(requested_bytes(call));
    if (!write_pieces(socket.get(), {REPLY_HEAD, id, REPLY_MIDDLE, text, REPLY_TAIL})) return;
  }
}

bool publish_endpoint(const std::string& config_dir, const std::string& socket_path) {
  const std::string dir = config_dir + "/mcp";
  const std::string temporary = dir + "/endpoint.json.tmp";
  std::filesystem::create_directories(dir);
  {
    std::ofstream out(temporary);
    out << nlohmann::json{
        {"app_version", "bench"},
        {"pid", getpid()},
        {"socket", socket_path},
        {"v",
         1}}.dump();
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), (dir + "/endpoint.json").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestil_bench_app <config dir>\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string config_dir = argv[1];
  const std::string socket_path = config_dir + "/app.sock";
  const std::string hello_reply =
      nlohmann::json{{"catalog_hash", catalog_hash()}, {"ok", true}}.dump() + "\n";
  unlink(socket_path.c_str());
  UniqueFd listener = listen_unix_socket(socket_path);
  if (!listener.valid() || !publish_endpoint(config_dir, socket_path)) {
    std::fprintf(stderr, "kestil_bench_app: cannot listen at %s\n", socket_path.c_str());
    return 1;
  }
  for (;;) {
    UniqueFd connection = accept_connection(listener.get());
    if (connection.valid())
      std::thread(serve_connection, std::move(connection), hello_reply).detach();
  }
}
