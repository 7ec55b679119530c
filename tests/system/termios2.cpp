// A custom speed on a guest's port, which busybox's stty can neither set nor
// show. "velquin_termios2 set DEVICE RATE" sets RATE through termios2 with
// settings far from raw around it (7 data bits, odd parity, two stop bits,
// canonical input with echo, output and input processing, flow control, VMIN
// 20 and VTIME 3) and prints the record read back; "velquin_termios2 show
// DEVICE" prints it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "termios2.h"

namespace {

bool setodd(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | PARODD | CSTOPB;
  t.c_iflag |= ICRNL | IXON;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO;
  t.c_cc[VMIN] = 20;
  t.c_cc[VTIME] = 3;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool set = argc == 4 && std::strcmp(argv[1], "set") == 0;
  if (!set && (argc != 3 || std::strcmp(argv[1], "show") != 0)) {
    std::fprintf(stderr, "usage: velquin_termios2 set DEVICE RATE | show DEVICE\n");
    return 2;
  }
  const int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
  const auto rate = set ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 0;
  if (fd < 0 || (set && (!setodd(fd) || !velquin::test::setcustomspeed(fd, rate)))) {
    std::fprintf(stderr, "velquin_termios2: %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", velquin::test::wholesettingsof(fd).c_str());
  return 0;
}
