#include "sim/receiver/wait.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace velquin::sim {
namespace {

// Milliseconds to `until`, rounded up so that a wait never ends before it.
int timeout(steady::time_point until) {
  if (until == never) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

woke waitfor(int stop, int fd, short events, steady::time_point until) {
  for (;;) {
    const int ms = timeout(until);
    pollfd p[2] = {{stop, POLLIN, 0}, {fd, events, 0}};
    const int n = poll(p, 2, ms);
    // A signal that ends the run never returns here; any other goes on waiting.
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return woke::failed;
    if (p[0].revents != 0) return woke::stopped;
    if (p[1].revents != 0) return woke::ready;
    if (ms == 0 || (n == 0 && steady::now() >= until)) return woke::due;
  }
}

ssize_t readready(int stop, int fd, std::span<std::uint8_t> into, steady::time_point until) {
  for (;;) {
    const woke w = waitfor(stop, fd, POLLIN, until);
    if (w != woke::ready) {
      if (w != woke::failed) errno = w == woke::stopped ? ECANCELED : ETIMEDOUT;
      return -1;
    }
    const ssize_t n = read(fd, into.data(), into.size());
    // EAGAIN: another reader of a shared descriptor took what woke us.
    if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
  }
}

std::size_t writeall(int stop, int fd, std::span<const std::uint8_t> b) {
  std::size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = write(fd, b.data() + done, b.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) errno = EIO;
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    const woke w = errno == EINTR ? woke::ready : waitfor(stop, fd, POLLOUT, never);
    if (w == woke::stopped) errno = ECANCELED;
    if (w == woke::stopped || w == woke::failed) break;
  }
  return done;
}

woke sleepuntil(int stop, steady::time_point until) {
  return waitfor(stop, -1, 0, until);
}

}  // namespace velquin::sim
