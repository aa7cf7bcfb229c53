// Everything that crosses a process boundary below the MCP layer: the app's configuration
// directory and endpoint file, the hello records, descriptors, lines and Unix sockets.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kestil {

// Bundle identifier of the note app, used to launch it and to name its data directory.
constexpr std::string_view APP_BUNDLE_ID = "app.kestil.mac";
constexpr std::string_view APP_SUPPORT_ID = "app.kestil.mac";

constexpr uint32_t IPC_VERSION = 1;
constexpr std::string_view BRIDGE_VERSION = "0.1.0";

// One limit for socket paths on every platform, so behaviour does not depend on the size of
// sun_path (104 bytes on macOS, 108 on Linux, one of them for the terminating NUL).
constexpr std::size_t MAX_SOCKET_PATH_BYTES = 103;

// Size of the buffer through which the app's lines are read.
constexpr std::size_t READ_BUFFER_SIZE = 8192;

// The configuration directory: $KESTIL_CONFIG_DIR as given (even empty), else
// $HOME/Library/Application Support/APP_SUPPORT_ID, else none.
std::optional<std::string> default_config_dir();

// Joins two path pieces with one "/" unless `left` is empty or already ends in "/".
std::string join_path(std::string_view left, std::string_view right);

// What the app publishes in <config dir>/mcp/endpoint.json.
struct Endpoint {
  uint32_t v = 0;
  std::string socket;
  uint32_t pid = 0;
  std::string app_version;
};

// Parses the text of an endpoint file. All four members are required, none may repeat,
// "v" and "pid" are plain integers in 0..4294967295; unknown members are ignored.
std::optional<Endpoint> parse_endpoint(std::string_view text);

// Reads and parses <config_dir>/mcp/endpoint.json; none when it is missing or invalid.
std::optional<Endpoint> read_endpoint(const std::string& config_dir);

// The bridge's first line on every new connection.
struct Hello {
  uint32_t ipc = IPC_VERSION;
  std::string bridge_version{BRIDGE_VERSION};
  std::string client_name;
  std::string client_version;
};

// The hello as compact JSON in its fixed member order (not sorted), without a line feed.
std::string to_line(const Hello& hello);

// The app's answer to the hello.
struct HelloReply {
  bool ok = false;
  std::string catalog_hash;
};

// Parses one hello reply line (surrounding white space already trimmed or not): "ok" a
// boolean, "catalog_hash" a string, neither repeated; unknown members are ignored.
std::optional<HelloReply> parse_hello_reply(std::string_view line);

// Owns one file descriptor and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

enum class ReadStatus { line, end_of_stream, timed_out, failed };

// Readable bytes that follow every line a LineReader returns, so that a validator reading
// ahead in blocks may run over a line where it lies.
constexpr std::size_t LINE_PADDING = 64;

// Bytes on the heap that grow without being zero-filled. Owns its block.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer();

  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  // Moves the block to `capacity` bytes, keeping what fits; false (nothing changed) when
  // no memory is left.
  bool reallocate(std::size_t capacity);

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// Reads LF-terminated lines from a descriptor it does not own. Reading stays linear in the
// size of a line however long it is.
class LineReader {
 public:
  LineReader(int fd, std::size_t chunk_size)
      : fd_(fd), chunk_size_(std::max<std::size_t>(chunk_size, 1)) {}

  // On ReadStatus::line, `line` holds the next line without its LF (a last line without LF
  // included), followed in memory by at least LINE_PADDING readable bytes; it stays valid
  // until the next call. end_of_stream means no byte was left. A receive time-out (EAGAIN,
  // EWOULDBLOCK, ETIMEDOUT) gives timed_out.
  ReadStatus read_line(std::string_view& line);

  // True when bytes beyond the last line returned have been read but not consumed.
  bool has_buffered() const { return consumed_ < filled_; }

 private:
  // Reads once into all the free space after the unconsumed bytes; the read(2) result.
  ssize_t fill();
  // Makes room for at least one chunk more; false when no memory is left.
  bool make_room();

  int fd_;
  std::size_t chunk_size_;    // at least one
  ByteBuffer buffer_;         // allocated on the first read
  std::size_t filled_ = 0;    // bytes of buffer_ holding data
  std::size_t consumed_ = 0;  // bytes of buffer_ already handed out as lines
  std::size_t scanned_ = 0;   // bytes of buffer_ known to hold no LF past consumed_
};

// Writes all of `bytes` to a pipe or file, retrying on EINTR. False on any failure.
bool write_all(int fd, std::string_view bytes);

// Writes `pieces` back to back to a pipe or file with as few writes as possible (one when
// the descriptor takes it all), retrying on EINTR. False on any failure.
bool write_all(int fd, std::initializer_list<std::string_view> pieces);

// Sends all of `bytes` on a socket without ever raising SIGPIPE. False on any failure,
// the send time-out included.
bool send_all(int socket_fd, std::string_view bytes);

// A close-on-exec Unix stream socket connected to `path`, set never to raise SIGPIPE.
// Invalid on any failure: an empty path, one with a NUL, one longer than
// MAX_SOCKET_PATH_BYTES, or a refused connect.
UniqueFd connect_unix_socket(std::string_view path);

// A listening close-on-exec Unix stream socket at `path` (for the app's side).
UniqueFd listen_unix_socket(std::string_view path);

// The next connection on a listening socket, close-on-exec and set never to raise SIGPIPE
// (for the app's side). Invalid on failure.
UniqueFd accept_connection(int listen_fd);

// Socket time-outs; false when the option could not be set.
bool set_receive_timeout(int socket_fd, std::chrono::milliseconds timeout);
bool set_send_timeout(int socket_fd, std::chrono::milliseconds timeout);

// True when a zero-time-out poll finds nothing pending on `fd`: no data, no hang-up,
// no error.
bool is_quiet(int fd);

// Duplicates `fd` as a close-on-exec descriptor.
UniqueFd duplicate_fd(int fd);

}  // namespace kestil
