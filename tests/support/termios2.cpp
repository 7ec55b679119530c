// The test's own view of a line's whole settings, through Linux's termios2,
// whose header cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <string>

#include "termios2.h"

namespace velquin::test {

bool setcustomspeed(int fd, unsigned rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT))) | BOTHER |
              (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &t) == 0;
}

std::string wholesettingsof(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return "TCGETS2 failed";
  char head[160];
  std::snprintf(head, sizeof head,
                "iflag %#x oflag %#x cflag %#x lflag %#x line %u ispeed %u ospeed %u cc", t.c_iflag,
                t.c_oflag, t.c_cflag, t.c_lflag, t.c_line, t.c_ispeed, t.c_ospeed);
  std::string s = head;
  for (const cc_t c : t.c_cc) s += ' ' + std::to_string(c);
  return s;
}

}  // namespace velquin::test
