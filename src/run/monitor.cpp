#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "base/base.h"
#include "decode/decode.h"
#include "run/run.h"

namespace velquin {
namespace {

constexpr int batchsize = 8192;
constexpr int waitms = 500;
static_assert(batchsize >= carrysize, "the decoders write into the batch buffer");

void printbatch(std::uint8_t* batch, int count) {
  for (int k = 0; k < count; ++k) std::printf("=%02x ", batch[k]);
  count = velquinconv(count, batch);
  for (int k = 0; k < count; ++k) std::printf("#%02x ", batch[k]);
  count = ps2conv(count, batch);
  for (int k = 0; k < count; ++k) {
    const int c = batch[k];
    if (c >= 0x20 && c <= 0x7E) {
      std::printf(">%02x '%c'", c, c);
    } else {
      std::printf(">%02x '\\%03o'", c, c);
    }
  }
  std::putchar('\n');
}

}  // namespace

int monitor(int fd) {
  std::uint8_t batch[batchsize];
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
      if (count <= 0) return 0;
      printbatch(batch, static_cast<int>(count));
    }
    if (std::fflush(stdout) != 0) return errno;
  }
}

}  // namespace velquin
