#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "init/init.h"
#include "run/run.h"
#include "tty/tty.h"

#ifndef VELQUIN_DEVICE
#define VELQUIN_DEVICE "/dev/ttyS1"
#endif

namespace velquin {
namespace {

constexpr const char* devicepath = VELQUIN_DEVICE;
static_assert(sizeof VELQUIN_DEVICE <= longestpath + 1, "every message must hold the path");

// Started with 0, 1 or 2 closed (`velquin >&-`, some service managers), the
// port would open as one of them and the tool's own text would go out on the
// line: they are taken by /dev/null first.
void stdopen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) std::exit(1);
  }
}

[[noreturn]] void run() {
  stdopen();
  // A pipeline that closes early (`velquin | head -3`) shows as a failed write,
  // which puts the port back; the signal would leave it raw.
  std::signal(SIGPIPE, SIG_IGN);
  const int fd = ttyopen(devicepath);
  ttysetup(fd, linerate);
  const int result = devinit(fd);
  // Standard output is written with write(2) alone, never through stdio,
  // whose buffer silently drops what a failed write held.
  char outcome[32];
  const int n = result == 0 ? std::snprintf(outcome, sizeof outcome, "Ok\n")
                            : std::snprintf(outcome, sizeof outcome, "Failed (%d)\n", result);
  int writeerror = writeall(1, outcome, static_cast<std::size_t>(n));
  if (result == 0 && writeerror == 0) writeerror = monitor(fd);
  if (writeerror != 0 && writeerror != EPIPE)
    report("write error: %s\n", std::strerror(writeerror));
  ttyclose(fd);
  std::exit(writeerror != 0 ? writefailed : 0);
}

}  // namespace
}  // namespace velquin

// Arguments and environment are deliberately ignored: the port, the rate and
// every protocol byte are built in.
int main(int, char**, char**) {
  velquin::run();
}
