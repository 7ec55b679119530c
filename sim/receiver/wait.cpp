#include "sim/receiver/wait.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace velquin::sim {
namespace {

struct beside {
  int fd = -1;
  std::function<void()> take;
} side;

// Milliseconds to `until`, rounded up so that a wait never ends before it.
int timeout(steady::time_point until) {
  if (until == never) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

void watchbeside(int fd, std::function<void()> take) {
  side = {fd, std::move(take)};
}

void watchalone() {
  side = {};
}

outcome waitfor(int stop, int fd, short events, steady::time_point until) {
  for (;;) {
    const int ms = timeout(until);
    pollfd p[3] = {{stop, POLLIN, 0}, {fd, events, 0}, {side.fd, POLLIN, 0}};
    const int n = poll(p, 3, ms);
    // A signal is an event of the stop, seen on the next pass.
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return outcome::failed;
    if (p[2].revents != 0 && side.take) {
      // A copy: what it calls may end the watch, and with it `side.take`.
      const std::function<void()> take = side.take;
      take();
    }
    if (p[0].revents != 0) return outcome::stopped;
    if (p[1].revents != 0) return outcome::done;
    if (ms == 0 || (n == 0 && steady::now() >= until)) return outcome::due;
  }
}

outcome sleepuntil(int stop, steady::time_point until) {
  return waitfor(stop, -1, 0, until);
}

outcome readready(int stop, int fd, std::span<std::uint8_t> into, std::size_t& got,
                  steady::time_point until) {
  for (;;) {
    if (const outcome w = waitfor(stop, fd, POLLIN, until); w != outcome::done) return w;
    const ssize_t n = read(fd, into.data(), into.size());
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (n >= 0) return outcome::done;
    // EAGAIN: another reader of a shared descriptor took what woke us.
    if (errno != EAGAIN && errno != EINTR) return outcome::failed;
  }
}

outcome writeready(int stop, int fd, std::span<const std::uint8_t> b, std::size_t& put) {
  for (put = 0; put < b.size();) {
    const ssize_t n = write(fd, b.data() + put, b.size() - put);
    if (n > 0) {
      put += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) errno = EIO;
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return outcome::failed;
    if (errno == EINTR) continue;
    if (const outcome w = waitfor(stop, fd, POLLOUT, never); w != outcome::done) return w;
  }
  return outcome::done;
}

}  // namespace velquin::sim
