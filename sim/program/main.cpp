// velquin-sim: plays a keyboard receiver on a pseudo-terminal so that the tool
// can be tried, and tested, before the hardware is on the desk.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>

#include "sim/program/cleanup.h"
#include "sim/program/complain.h"
#include "sim/program/options.h"
#include "sim/program/session.h"

namespace {

int start(int argc, char** argv) {
  using namespace velquin::sim;
  const parsed p = parse(argc, argv);
  if (!p.error.empty()) return complain(usageerror, p.error + "\nTry '" + me + " --help'.");
  if (p.what == asked::run) return run(p.opts);
  // Longer than stdout's buffer, the help fails in fputs, not in the flush.
  const char* text = p.what == asked::help ? usage : "velquin-sim " VELQUIN_VERSION "\n";
  if (std::fputs(text, stdout) != EOF && std::fflush(stdout) == 0) return 0;
  return complain(1, failure("write error", errno));
}

}  // namespace

int main(int argc, char** argv) {
  using velquin::sim::complain;
  // Started with 0, 1 or 2 closed, a port or the link's lock file would open
  // as one of them, and be typed from or written to.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return 1;
  }
  // Caught here, an exception has unwound the run, and every guard on the
  // way has put back what it made.
  velquin::sim::guardterminate();
  int status = 1;
  try {
    status = start(argc, argv);
  } catch (const std::bad_alloc&) {
    complain(1, "out of memory");
  } catch (const std::exception& e) {
    complain(1, e.what());
  }
  velquin::sim::endbysignal();
  return status;
}
