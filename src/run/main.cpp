#include <cstdio>
#include <cstdlib>

#include "init/init.h"
#include "run/run.h"
#include "tty/tty.h"

#ifndef VELQUIN_DEVICE
#define VELQUIN_DEVICE "/dev/ttyS1"
#endif

namespace velquin {
namespace {

constexpr const char* devicepath = VELQUIN_DEVICE;

[[noreturn]] void run() {
  const int fd = ttyopen(devicepath);
  ttysetup(fd, linerate);
  const int result = devinit(fd);
  if (result == 0) {
    std::fputs("Ok\n", stdout);
    monitor(fd);
  } else {
    std::printf("Failed (%d)\n", result);
  }
  ttyclose(fd);
  std::exit(0);
}

}  // namespace
}  // namespace velquin

// Arguments and environment are deliberately ignored: the port, the rate and
// every protocol byte are built in.
int main(int, char**, char**) {
  velquin::run();
}
