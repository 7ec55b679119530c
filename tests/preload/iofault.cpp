// Preloaded into the program under test: makes one of its calls fail the way
// a busy or broken system makes it fail, once the watch has begun (after the
// first read of a whole batch). IOFAULT names the fault:
//   poll-eintr, poll-enomem  the next wait fails with that error;
//   poll-nval                the next wait reports the descriptor invalid;
//   read-eagain              the next IOFAULT_TIMES batch reads (default 1)
//                            find nothing, as when another reader took the
//                            bytes between the wake-up and the read;
//   stdin-eio                every read of standard input fails with EIO, from
//                            the program's start;
//   new                      every operator new after the first IOFAULT_TIMES
//                            fails, from the program's start, as when memory
//                            runs out.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using pollfn = int (*)(pollfd*, nfds_t, int);
using readfn = ssize_t (*)(int, void*, size_t);
using newfn = void* (*)(std::size_t);

template <typename fn>
fn next(const char* name) {
  return reinterpret_cast<fn>(dlsym(RTLD_NEXT, name));
}

bool is(const char* fault) {
  const char* f = std::getenv("IOFAULT");
  return f != nullptr && std::strcmp(f, fault) == 0;
}

int times(int fallback) {
  const char* times = std::getenv("IOFAULT_TIMES");
  return times != nullptr ? std::atoi(times) : fallback;
}

bool watching = false;  // a batch has been read
int pollfaults = 1;
int readfaults = -1;

int faultypoll(pollfd* fds, nfds_t n, int ms) {
  static const auto real = next<pollfn>("poll");
  if (watching && pollfaults > 0 && n == 1) {
    if (is("poll-eintr") || is("poll-enomem")) {
      --pollfaults;
      errno = is("poll-eintr") ? EINTR : ENOMEM;
      return -1;
    }
    if (is("poll-nval")) {
      --pollfaults;
      fds[0].revents = POLLNVAL;
      return 1;
    }
  }
  return real(fds, n, ms);
}

ssize_t faultyread(int fd, void* buf, size_t count) {
  static const auto real = next<readfn>("read");
  if (fd == 0 && is("stdin-eio")) {
    errno = EIO;
    return -1;
  }
  if (count > 1 && is("read-eagain")) {
    if (readfaults < 0) readfaults = times(1);
    if (readfaults > 0) {
      --readfaults;
      errno = EAGAIN;
      return -1;
    }
  }
  const ssize_t got = real(fd, buf, count);
  if (count > 1 && got > 0) watching = true;
  return got;
}

}  // namespace

// The next operator new is the program's own, a sanitizer's among them, so
// that its delete matches.
void* operator new(std::size_t n) {
  static const auto real = next<newfn>(sizeof(std::size_t) == 8 ? "_Znwm" : "_Znwj");
  static int left = is("new") ? times(1) : -1;
  if (left == 0) throw std::bad_alloc();
  if (left > 0) --left;
  return real(n);
}

extern "C" {

int poll(pollfd* fds, nfds_t n, int ms) {
  return faultypoll(fds, n, ms);
}
int __poll_chk(pollfd* fds, nfds_t n, int ms, size_t) {
  return faultypoll(fds, n, ms);
}
ssize_t read(int fd, void* buf, size_t count) {
  return faultyread(fd, buf, count);
}
ssize_t __read_chk(int fd, void* buf, size_t count, size_t) {
  return faultyread(fd, buf, count);
}

}  // extern "C"
