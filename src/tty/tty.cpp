#include "tty/tty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/base.h"
#include "tty/whole.h"

namespace velquin {
namespace {

termios savedtio;
termios rawtio;
// savedtio again, with a custom speed's rate, which savedtio loses.
wholesettings savedwhole;

struct speedentry {
  int rate;
  speed_t code;
};

// clang-format off
//  rate    speed code
constexpr speedentry speeds[] = {
    {1200,   B1200},
    {2400,   B2400},
    {4800,   B4800},
    {9600,   B9600},
    {19200,  B19200},
    {38400,  B38400},
    {57600,  B57600},
    {115200, B115200},
};
// clang-format on
static_assert(B1200 == 9 && B9600 == 13 && B38400 == 15, "Linux speed codes");
static_assert(B57600 == 0x1001 && B115200 == 0x1002, "Linux extended speed codes");

constexpr int putlimit = 15;  // clock seconds ttyputc keeps trying one byte

[[noreturn]] void refuse(int fd, const char* path, const char* why) {
  close(fd);
  say("can't open %s: %s\n", path, why);
  std::exit(1);
}

// Milliseconds until ttyclock() moves on, when a deadline counted in whole
// seconds can change.
int sleepslice() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return 1000 - static_cast<int>(now.tv_nsec / 1000000);
}

}  // namespace

int ttyopen(const char* path) {
  // O_NOCTTY: a session leader (a service, `setsid velquin`) would otherwise
  // take the port as its terminal and be killed by its hang-up.
  const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    say("can't open %s\n", path);
    std::exit(1);
  }
  // Checked before anything is changed or sent: a file would be written to,
  // and a second copy of the tool would take over the first one's line.
  if (!isatty(fd)) refuse(fd, path, "not a terminal");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) refuse(fd, path, "in use");
  return fd;
}

speed_t ttyspeed(int rate) {
  for (const speedentry& s : speeds) {
    if (s.rate == rate) return s.code;
  }
  say("%d bps unavailable.  9600 bps selected.\n", rate);
  return B9600;
}

void ttysetup(int fd, int rate) {
  const speed_t code = ttyspeed(rate);
  tcgetattr(fd, &savedtio);
  wholeget(fd, savedwhole);
  rawtio = savedtio;
  rawtio.c_iflag = IGNBRK | IGNPAR;
  rawtio.c_oflag = 0;
  rawtio.c_cflag = CS8 | CREAD | CLOCAL;
  rawtio.c_lflag = 0;
  cfsetispeed(&rawtio, code);
  cfsetospeed(&rawtio, code);
  for (cc_t& c : rawtio.c_cc) c = 0;
  // A VMIN left on the port would make poll() wait for that many bytes.
  rawtio.c_cc[VMIN] = 1;
  rawtio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &rawtio);
}

void ttyrestore(int fd) {
  // savedwhole holds savedtio, and a custom speed's rate where it has one.
  wholeset(fd, savedwhole);
}

int ttyclose(int fd) {
  ttyrestore(fd);
  return close(fd);
}

int ttyputc(int fd, int value) {
  const std::time_t start = ttyclock();
  const auto byte = static_cast<std::uint8_t>(value);
  for (;;) {
    const ssize_t n = write(fd, &byte, 1);
    if (n > 0) return byte;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      // EIO: the line is gone, and waiting will not bring it back.
      say("ttyputc(): %s\n", std::strerror(errno));
      return -1;
    }
    if (ttyclock() - start > putlimit) {
      say("ttyputc(): timeout\n");
      return -1;
    }
    if (!ttywait(fd, true)) {
      say("ttyputc(): line hung up\n");
      return -1;
    }
  }
}

int ttygetc(int fd) {
  std::uint8_t byte = 0;
  if (read(fd, &byte, 1) != 1) return -1;
  return byte;
}

std::time_t ttyclock() {
  // Monotonic: a wall clock stepped by NTP at boot must not move a deadline.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

bool ttywait(int fd, bool forwrite) {
  pollfd p{fd, static_cast<short>(forwrite ? POLLOUT : POLLIN), 0};
  if (poll(&p, 1, sleepslice()) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    // A hung-up line reports itself at once, every time: sleep without it
    // rather than spin.
    poll(nullptr, 0, sleepslice());
    return false;
  }
  return true;
}

}  // namespace velquin
