// velquin-sim: plays a keyboard receiver on a pseudo-terminal so that the tool
// can be tried, and tested, before the hardware is on the desk.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/program/options.h"
#include "sim/program/session.h"

int main(int argc, char** argv) {
  using namespace velquin::sim;
  // Started with 0, 1 or 2 closed, a port or the link's lock file would open
  // as one of them, and be typed from or written to.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return 1;
  }
  const parsed p = parse(argc, argv);
  if (!p.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", me, p.error.c_str(), me);
    return usageerror;
  }
  if (p.what == asked::run) return run(p.opts);
  std::fputs(p.what == asked::help ? usage : "velquin-sim " VELQUIN_VERSION "\n", stdout);
  if (std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "%s: write error: %s\n", me, std::strerror(errno));
  return 1;
}
