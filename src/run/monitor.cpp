#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "base/base.h"
#include "decode/decode.h"
#include "run/run.h"

namespace velquin {
namespace {

constexpr int waitms = 500;
static_assert(batchsize >= carrysize, "the decoders write into the batch buffer");

// A line is written whole, at the end of its pass, in writes of its own:
// flushed in pieces, it would take in a decoder's message on a shared stream
// (`2>&1 | tee`), and a write that failed inside stdio would go unseen.
char line[longestline + 1];
int linelength = 0;

__attribute__((format(printf, 1, 2))) void add(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  linelength += std::vsnprintf(line + linelength,
                               sizeof line - static_cast<std::size_t>(linelength), fmt, args);
  va_end(args);
}

// 0, or the errno of a failed write.
int printbatch(std::uint8_t* batch, int count) {
  linelength = 0;
  for (int k = 0; k < count; ++k) add("=%02x ", batch[k]);
  count = velquinconv(count, batch);
  for (int k = 0; k < count; ++k) add("#%02x ", batch[k]);
  count = ps2conv(count, batch);
  for (int k = 0; k < count; ++k) {
    const int c = batch[k];
    if (c >= 0x20 && c <= 0x7E) {
      add(">%02x '%c'", c, c);
    } else {
      add(">%02x '\\%03o'", c, c);
    }
  }
  line[linelength++] = '\n';
  return writeall(1, line, static_cast<std::size_t>(linelength));
}

}  // namespace

int monitor(int fd) {
  std::uint8_t batch[batchsize];
  bool shared = false;
  for (;;) {
    // poll, not select: the port's descriptor may be 1024 or more.
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, waitms);
    if ((n < 0 && errno != EINTR) || (n > 0 && (p.revents & POLLNVAL) != 0)) {
      report("select failed\n");
      return 0;
    }
    if (n > 0) {
      const ssize_t count = read(fd, batch, sizeof batch);
      if (count > 0) {
        if (const int e = printbatch(batch, static_cast<int>(count)); e != 0) return e;
      } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Woken for bytes that were gone by the read: another reader (a
        // forgotten cat, a getty, a modem manager) took them.
        if (!shared) report("another program is reading the port; bytes it takes are not shown\n");
        shared = true;
      } else {
        return 0;
      }
    }
  }
}

}  // namespace velquin
