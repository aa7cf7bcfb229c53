// Reading LF-terminated lines with a deadline, for the benchmark's own processes. The
// buffer grows without zero-filling, since replies of tens of megabytes pass through it.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace kestil::bench {

class LineIn {
 public:
  explicit LineIn(int fd) : fd_(fd) {}
  LineIn(const LineIn&) = delete;
  LineIn& operator=(const LineIn&) = delete;
  ~LineIn() { std::free(buffer_); }

  // The next line without its LF, valid until the next call; none at end of stream, on an
  // error or when `timeout` passes first.
  std::optional<std::string_view> next(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto* lf = static_cast<char*>(std::memchr(buffer_ + scanned_, '\n', end_ - scanned_))) {
        std::string_view line(buffer_ + begin_, lf - (buffer_ + begin_));
        begin_ = scanned_ = lf + 1 - buffer_;
        return line;
      }
      scanned_ = end_;
      if (!make_room() || !wait_readable(deadline)) return std::nullopt;
      const ssize_t got = read(fd_, buffer_ + end_, capacity_ - end_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      end_ += static_cast<std::size_t>(got);
    }
  }

 private:
  bool make_room() {
    if (begin_ > 0) {
      std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
      end_ -= begin_;
      scanned_ -= begin_;
      begin_ = 0;
    }
    if (end_ < capacity_) return true;
    const std::size_t grown = capacity_ == 0 ? 65536 : capacity_ * 2;
    char* moved = static_cast<char*>(std::realloc(buffer_, grown));
    if (moved == nullptr) return false;
    buffer_ = moved;
    capacity_ = grown;
    return true;
  }

  bool wait_readable(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) return false;
      pollfd ready{.fd = fd_, .events = POLLIN, .revents = 0};
      const int n = poll(&ready, 1, static_cast<int>(left.count()) + 1);
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }

  int fd_;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;    // first byte not yet handed out
  std::size_t end_ = 0;      // bytes read
  std::size_t scanned_ = 0;  // bytes known to hold no LF past begin_
};

}  // namespace kestil::bench
