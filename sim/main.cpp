// velquin-sim: plays a keyboard receiver on a pseudo-terminal so that the tool
// can be tried, and tested, before the hardware is on the desk.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/options.h"
#include "sim/session.h"

int main(int argc, char** argv) {
  using namespace velquin::sim;
  const parsed p = parse(argc, argv);
  if (!p.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", me, p.error.c_str(), me);
    return usageerror;
  }
  if (p.what == request::run) return run(p.opts);
  std::fputs(p.what == request::help ? usage : "velquin-sim " VELQUIN_VERSION "\n", stdout);
  if (std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "%s: write error: %s\n", me, std::strerror(errno));
  return 1;
}
