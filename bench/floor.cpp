// The floor for the end-to-end figures: the least a program can do with the
// line, reading the port and printing each batch in hex, one line a batch.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    std::fprintf(stderr, "can't open %s\n", argv[1]);
    return 1;
  }
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::fputs("Ok\n", stdout);  // ready, as the tool says it
  std::fflush(stdout);
  unsigned char buf[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return 0;
    for (ssize_t k = 0; k < n; ++k) std::printf("%02x ", buf[k]);
    std::putchar('\n');
    std::fflush(stdout);
  }
}
