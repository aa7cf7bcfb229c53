#include "ipc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "protocol.h"

namespace kestil {
namespace {

// --- Platform differences, one helper each. ---

// Close-on-exec sockets, so a child process never holds a connection open: flagged
// atomically where SOCK_CLOEXEC (and accept4 with it) exists, right after creation elsewhere
// (macOS). With `listen_fd` < 0 creates a new socket, otherwise accepts the next connection.
UniqueFd new_cloexec_socket(int listen_fd) {
  UniqueFd fd;
  do {
#ifdef SOCK_CLOEXEC
    fd = UniqueFd(listen_fd < 0 ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)
                                : ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
#else
    fd = UniqueFd(listen_fd < 0 ? ::socket(AF_UNIX, SOCK_STREAM, 0)
                                : ::accept(listen_fd, nullptr, nullptr));
    if (fd.valid() && ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return UniqueFd();
#endif
  } while (!fd.valid() && errno == EINTR);
  return fd;
}

// Where the platform offers it, a socket option makes writes to a vanished peer fail with
// EPIPE instead of raising SIGPIPE; elsewhere send_flags() does that per call.
bool suppress_sigpipe(int socket_fd) {
#ifdef SO_NOSIGPIPE
  int on = 1;
  return ::setsockopt(socket_fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) == 0;
#else
  (void)socket_fd;
  return true;
#endif
}

int send_flags() {
#ifdef MSG_NOSIGNAL
  return MSG_NOSIGNAL;
#else
  return 0;
#endif
}

// --- Helpers. ---

// Only a regular file is read: a FIFO or device put in its place would block the server or
// never end. O_NONBLOCK keeps the open itself from waiting on a FIFO.
std::optional<std::string> read_whole_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return text;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

// A JSON integer written without fraction or exponent, within 0..4294967295. The parser
// keeps such integers as integer types and everything else (1.0, 1e3) as floating point.
std::optional<uint32_t> as_uint32(const Json& value) {
  constexpr uint64_t MAX = std::numeric_limits<uint32_t>::max();
  if (value.is_number_unsigned()) {
    uint64_t n = value.get<uint64_t>();
    if (n <= MAX) return static_cast<uint32_t>(n);
  } else if (value.is_number_integer()) {
    int64_t n = value.get<int64_t>();
    if (n >= 0 && static_cast<uint64_t>(n) <= MAX) return static_cast<uint32_t>(n);
  }
  return std::nullopt;
}

// The member `key` of `record` when present and a string.
std::optional<std::string> string_member(const Json& record, const char* key) {
  auto it = record.find(key);
  if (it == record.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<uint32_t> uint32_member(const Json& record, const char* key) {
  auto it = record.find(key);
  if (it == record.end()) return std::nullopt;
  return as_uint32(*it);
}

// Fills `address` for `path`; false when the path cannot name a socket here.
bool make_address(std::string_view path, sockaddr_un& address, socklen_t& length) {
  if (path.empty() || path.size() > MAX_SOCKET_PATH_BYTES ||
      path.find('\0') != std::string_view::npos) {
    return false;
  }
  static_assert(sizeof address.sun_path > MAX_SOCKET_PATH_BYTES);
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

// A new socket and the address of `path` for it; invalid when the path cannot name a socket.
UniqueFd socket_for(std::string_view path, sockaddr_un& address, socklen_t& length) {
  if (!make_address(path, address, length)) return UniqueFd();
  return new_cloexec_socket(-1);
}

bool set_timeout(int socket_fd, int option, std::chrono::milliseconds timeout) {
  // A zero timeval would mean "wait forever" to the kernel.
  auto micros =
      std::max<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count(), 1);
  timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(micros / 1'000'000);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>(micros % 1'000'000);
  return ::setsockopt(socket_fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

std::optional<std::string> default_config_dir() {
  if (const char* dir = std::getenv("KESTIL_CONFIG_DIR")) return std::string(dir);
  if (const char* home = std::getenv("HOME")) {
    return join_path(join_path(home, "Library/Application Support"), APP_SUPPORT_ID);
  }
  return std::nullopt;
}

std::string join_path(std::string_view left, std::string_view right) {
  std::string path(left);
  if (!path.empty() && path.back() != '/') path += '/';
  path += right;
  return path;
}

std::optional<Endpoint> parse_endpoint(std::string_view text) {
  std::optional<Json> record = parse_record(text);
  if (!record) return std::nullopt;
  auto v = uint32_member(*record, "v");
  auto socket = string_member(*record, "socket");
  auto pid = uint32_member(*record, "pid");
  auto app_version = string_member(*record, "app_version");
  if (!v || !socket || !pid || !app_version) return std::nullopt;
  return Endpoint{*v, std::move(*socket), *pid, std::move(*app_version)};
}

std::optional<Endpoint> read_endpoint(const std::string& config_dir) {
  auto text = read_whole_file(join_path(join_path(config_dir, "mcp"), "endpoint.json"));
  if (!text) return std::nullopt;
  return parse_endpoint(*text);
}

std::string to_line(const Hello& hello) {
  return "{\"ipc\":" + std::to_string(hello.ipc) +
         ",\"bridge_version\":" + to_compact(Json(hello.bridge_version)) +
         ",\"client_name\":" + to_compact(Json(hello.client_name)) +
         ",\"client_version\":" + to_compact(Json(hello.client_version)) + "}";
}

std::optional<HelloReply> parse_hello_reply(std::string_view line) {
  std::optional<Json> record = parse_record(trim_white_space(line));
  if (!record) return std::nullopt;
  auto ok = record->find("ok");
  auto catalog_hash = string_member(*record, "catalog_hash");
  if (ok == record->end() || !ok->is_boolean() || !catalog_hash) return std::nullopt;
  return HelloReply{ok->get<bool>(), std::move(*catalog_hash)};
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (valid()) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (valid()) ::close(fd_);
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  std::free(data_);
}

bool ByteBuffer::reallocate(std::size_t capacity) {
  // realloc, not new: a large block can then be moved without copying and nothing is
  // zero-filled.
  void* moved = std::realloc(data_, capacity);
  if (!moved) return false;
  data_ = static_cast<char*>(moved);
  capacity_ = capacity;
  return true;
}

ReadStatus LineReader::read_line(std::string_view& line) {
  for (;;) {
    // Only bytes not scanned before are searched, so a long line costs linear time.
    const char* begin = buffer_.data();
    if (filled_ > scanned_) {
      if (const void* lf = std::memchr(begin + scanned_, '\n', filled_ - scanned_)) {
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
        line = std::string_view(begin + consumed_, end - consumed_);
        consumed_ = scanned_ = end + 1;
        return ReadStatus::line;
      }
    }
    scanned_ = filled_;
    const ssize_t count = fill();
    if (count > 0) continue;
    if (count == 0) {
      if (consumed_ == filled_) return ReadStatus::end_of_stream;
      line = std::string_view(buffer_.data() + consumed_, filled_ - consumed_);
      consumed_ = scanned_ = filled_;
      return ReadStatus::line;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT) return ReadStatus::timed_out;
    return ReadStatus::failed;
  }
}

bool LineReader::make_room() {
  // Lines already handed out make room first; the buffer only grows for a line longer than
  // what it holds, so small lines cost no allocation.
  if (consumed_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + consumed_, filled_ - consumed_);
    filled_ -= consumed_;
    scanned_ -= consumed_;
    consumed_ = 0;
  }
  const std::size_t small = chunk_size_ + LINE_PADDING;
  if (buffer_.capacity() > 16 * small && filled_ < chunk_size_) {
    // A very long line is over: give its memory back rather than hold it until exit.
    return buffer_.reallocate(small);
  }
  if (buffer_.capacity() >= filled_ + chunk_size_ + LINE_PADDING) return true;
  // Doubling keeps a long line's reading linear, counting the copies of growing.
  return buffer_.reallocate(std::max(2 * buffer_.capacity(), filled_ + small));
}

ssize_t LineReader::fill() {
  if (!make_room()) {
    errno = ENOMEM;
    return -1;
  }
  const std::size_t space = buffer_.capacity() - LINE_PADDING - filled_;
  ssize_t count;
  do {
    count = ::read(fd_, buffer_.data() + filled_, space);
  } while (count < 0 && errno == EINTR);
  if (count > 0) filled_ += static_cast<std::size_t>(count);
  // Defined bytes behind the data, for whatever reads ahead of a line's end.
  std::memset(buffer_.data() + filled_, 0, LINE_PADDING);
  return count;
}

bool write_all(int fd, std::string_view bytes) {
  return write_all(fd, {bytes});
}

bool write_all(int fd, std::initializer_list<std::string_view> pieces) {
  constexpr std::size_t MAX_PIECES = 8;
  iovec vectors[MAX_PIECES];
  std::size_t count = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    if (count == MAX_PIECES) return false;
    vectors[count++] = iovec{const_cast<char*>(piece.data()), piece.size()};
  }
  iovec* next = vectors;
  while (count > 0) {
    ssize_t n = ::writev(fd, next, static_cast<int>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Skip what went out; a partial write leaves the rest for the next round.
    auto written = static_cast<std::size_t>(n);
    while (count > 0 && written >= next->iov_len) {
      written -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + written;
      next->iov_len -= written;
    }
  }
  return true;
}

bool send_all(int socket_fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(socket_fd, bytes.data(), bytes.size(), send_flags());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

UniqueFd connect_unix_socket(std::string_view path) {
  sockaddr_un address;
  socklen_t length;
  UniqueFd fd = socket_for(path, address, length);
  if (!fd.valid() || !suppress_sigpipe(fd.get()) ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return UniqueFd();
  }
  return fd;
}

UniqueFd listen_unix_socket(std::string_view path) {
  sockaddr_un address;
  socklen_t length;
  UniqueFd fd = socket_for(path, address, length);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0) {
    return UniqueFd();
  }
  return fd;
}

UniqueFd accept_connection(int listen_fd) {
  UniqueFd fd = new_cloexec_socket(listen_fd);
  if (!fd.valid() || !suppress_sigpipe(fd.get())) return UniqueFd();
  return fd;
}

bool set_receive_timeout(int socket_fd, std::chrono::milliseconds timeout) {
  return set_timeout(socket_fd, SO_RCVTIMEO, timeout);
}

bool set_send_timeout(int socket_fd, std::chrono::milliseconds timeout) {
  return set_timeout(socket_fd, SO_SNDTIMEO, timeout);
}

bool is_quiet(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 0;
}

UniqueFd duplicate_fd(int fd) {
  return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

}  // namespace kestil
