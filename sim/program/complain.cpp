#include "sim/program/complain.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velquin::sim {
namespace {

int giveup = -1;  // readable once a message need no longer wait

// Writes `s` to standard error, waiting for room while `giveup` has not
// fired: a standard error nobody reads holds no run up once it must end.
void say(std::string_view s) {
  while (!s.empty()) {
    pollfd p[2] = {{2, POLLOUT, 0}, {giveup, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) return;
    if ((p[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) == 0) {
      if (p[1].revents != 0) return;
      continue;
    }
    // A page at most, which a pipe with room takes at once.
    const ssize_t n = write(2, s.data(), std::min<std::size_t>(s.size(), 4096));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void complainuntil(int stop) {
  giveup = stop;
}

int complain(int status, std::string_view message) {
  // One write for the whole line where it fits, so that lines written to the
  // same pipe by the command do not cut it.
  char line[4096];
  const int n = std::snprintf(line, sizeof line, "%s: %.*s\n", me, static_cast<int>(message.size()),
                              message.data());
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof line) {
    say({line, static_cast<std::size_t>(n)});
  } else {
    for (const std::string_view piece :
         {std::string_view(me), std::string_view(": "), message, std::string_view("\n")}) {
      say(piece);
    }
  }
  return status;
}

std::string failure(const std::string& what, int e) {
  return what + ": " + std::strerror(e);
}

std::string untypeable(char c) {
  char detail[8];
  std::snprintf(detail, sizeof detail, "0x%02x", static_cast<unsigned char>(c));
  return std::string("no key types the character ") + detail;
}

}  // namespace velquin::sim
