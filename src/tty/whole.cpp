#include "tty/whole.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

namespace velquin {

static_assert(sizeof(termios2) <= sizeof(wholesettings::record));

bool wholeget(int fd, wholesettings& s) {
  termios2 t{};
  s.held = ioctl(fd, TCGETS2, &t) == 0;
  std::memcpy(s.record, &t, sizeof t);
  return s.held;
}

bool wholeset(int fd, const wholesettings& s) {
  if (!s.held) return false;
  termios2 t{};
  std::memcpy(&t, s.record, sizeof t);
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace velquin
