#include "base/base.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace velquin {
namespace {

// Room for the longest message: a path and a reason around it.
constexpr std::size_t messagesize = longestpath + 256;

__attribute__((format(printf, 2, 0))) void sayv(const char* head, const char* fmt,
                                                std::va_list args) {
  char text[messagesize];
  const int lead = head != nullptr ? std::snprintf(text, sizeof text, "%s: ", head) : 0;
  if (lead < 0) return;
  const int body =
      std::vsnprintf(text + lead, sizeof text - static_cast<std::size_t>(lead), fmt, args);
  if (body < 0) return;
  int n = lead + body;
  if (static_cast<std::size_t>(n) >= sizeof text) {
    n = static_cast<int>(sizeof text) - 1;
    text[n - 1] = '\n';
  }
  writeall(2, text, static_cast<std::size_t>(n));
}

}  // namespace

void say(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  sayv(nullptr, fmt, args);
  va_end(args);
}

void report(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  sayv(progname, fmt, args);
  va_end(args);
}

int writeall(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t done = write(fd, data, n);
    if (done > 0) {
      data += done;
      n -= static_cast<std::size_t>(done);
    } else if (done == 0) {
      // Never for a count above 0 on Linux; retrying it would spin.
      return EIO;
    } else if (errno == EAGAIN) {
      // The flag is shared with whoever else has the terminal or pipe open.
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace velquin
