#include "tty/whole.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

namespace velquin {

static_assert(sizeof(termios2) <= sizeof(wholesettings::record));
static_assert(sizeof(termios) <= sizeof(wholesettings::record));

bool wholeget(int fd, wholesettings& s) {
  termios2 whole{};
  termios t{};
  if (ioctl(fd, TCGETS2, &whole) == 0) {
    std::memcpy(s.record, &whole, sizeof whole);
    s.held = 2;
  } else if (ioctl(fd, TCGETS, &t) == 0) {
    std::memcpy(s.record, &t, sizeof t);
    s.held = 1;
  } else {
    s.held = 0;
  }
  return s.held != 0;
}

bool wholeset(int fd, const wholesettings& s) {
  termios2 whole{};
  termios t{};
  switch (s.held) {
    case 2:
      std::memcpy(&whole, s.record, sizeof whole);
      return ioctl(fd, TCSETS2, &whole) == 0;
    case 1:
      std::memcpy(&t, s.record, sizeof t);
      return ioctl(fd, TCSETS, &t) == 0;
    default:
      return false;
  }
}

}  // namespace velquin
