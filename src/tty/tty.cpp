#include "tty/tty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

namespace velquin {
namespace {

termios savedtio;
termios rawtio;

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

constexpr int putlimit = 15;  // seconds ttyputc keeps trying one byte

// Upper bound on one sleep: with an odd VMIN left on the port, poll() reports
// a readable line only once VMIN bytes have come, while a non-blocking read
// already returns one, so a byte is never left waiting longer than this.
constexpr int maxsleepms = 100;

// How long to sleep for: until time() moves on to its next second, when a
// deadline counted in whole seconds can change, and no longer than maxsleepms.
int sleepslice() {
  const std::time_t now = std::time(nullptr);
  timespec fine{};
  clock_gettime(CLOCK_REALTIME, &fine);
  // time() follows the clock at tick granularity and may lag it by a few
  // milliseconds; aim at its second, not the fine clock's.
  const long long ms =
      (static_cast<long long>(now) + 1 - fine.tv_sec) * 1000 - fine.tv_nsec / 1000000 + 1;
  if (ms < 1) return 1;
  return ms < maxsleepms ? static_cast<int>(ms) : maxsleepms;
}

}  // namespace

int ttyopen(const char* path) {
  const int fd = open(path, O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    std::fprintf(stderr, "can't open %s\n", path);
    std::exit(1);
  }
  return fd;
}

speed_t ttyspeed(int rate) {
  for (const speedentry& s : speeds) {
    if (s.rate == rate) return s.code;
  }
  std::fprintf(stderr, "%d bps unavailable.  9600 bps selected.\n", rate);
  return B9600;
}

void ttysetup(int fd, int rate) {
  const speed_t code = ttyspeed(rate);
  tcgetattr(fd, &savedtio);
  rawtio = savedtio;
  rawtio.c_iflag = IGNBRK | IGNPAR;
  rawtio.c_oflag = 0;
  rawtio.c_cflag = CS8 | CREAD | CLOCAL;
  rawtio.c_lflag = 0;
  cfsetispeed(&rawtio, code);
  cfsetospeed(&rawtio, code);
  for (cc_t& c : rawtio.c_cc) c = 0;
  rawtio.c_cc[VTIME] = savedtio.c_cc[VTIME];
  rawtio.c_cc[VMIN] = savedtio.c_cc[VMIN];
  tcsetattr(fd, TCSANOW, &rawtio);
}

void ttyrestore(int fd) {
  tcsetattr(fd, TCSANOW, &savedtio);
}

int ttyclose(int fd) {
  ttyrestore(fd);
  return close(fd);
}

int ttyputc(int fd, int value) {
  const std::time_t start = std::time(nullptr);
  const auto byte = static_cast<std::uint8_t>(value);
  for (;;) {
    if (write(fd, &byte, 1) > 0) return byte;
    if (std::time(nullptr) - start > putlimit) {
      std::fputs("ttyputc(): timeout\n", stderr);
      return -1;
    }
    ttywait(fd, true);
  }
}

int ttygetc(int fd) {
  std::uint8_t byte = 0;
  if (read(fd, &byte, 1) != 1) return -1;
  return byte;
}

void ttywait(int fd, bool forwrite) {
  pollfd p{fd, static_cast<short>(forwrite ? POLLOUT : POLLIN), 0};
  if (poll(&p, 1, sleepslice()) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    // A hung-up or broken line reports itself at once, every time: sleep
    // without it rather than spin.
    poll(nullptr, 0, sleepslice());
  }
}

}  // namespace velquin
