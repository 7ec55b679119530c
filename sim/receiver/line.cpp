#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "sim/receiver/line.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {
namespace {

void closefd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Puts a real port's settings back, the whole of them where the kernel
// answered for them, once its driver has sent what it holds: changed under
// bytes still going out, they would garble them.
void portrestore(const line& l) {
  if (!l.port || l.master < 0) return;
  for (const auto until = steady::now() + readlimit; lineunread(l) > 0;) {
    const auto next = std::min(until, steady::now() + std::chrono::milliseconds(10));
    if (next == until || sleepuntil(-1, next) != outcome::due) break;
  }
  wholeset(l.master, l.saved);
}

// What a lock file of velquin-sim holds, so that a file of that name that is
// not one is never taken over.
constexpr std::string_view lockmark = "velquin-sim lock\n";

// A new lock file, marked and locked before it gets its name, so that no one
// finds it unmarked; -1 (errno, EEXIST when the name is taken by now) when it
// cannot be made. Made aside in the same directory (link(2) stays on one file
// system) under a name no longer than its own, which ends in ".lock": any
// name that has room for the lock has room for it.
int newlock(const std::string& path) {
  constexpr std::string_view random = "XXXXXX";  // never ".lock"
  const std::size_t base = path.rfind('/') + 1;  // 0 without a directory
  std::string aside = path;
  aside.replace(std::max(base, aside.size() - random.size()), std::string::npos, random);
  const int fd = mkostemp(aside.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  const bool made =
      write(fd, lockmark.data(), lockmark.size()) == static_cast<ssize_t>(lockmark.size()) &&
      flock(fd, LOCK_EX | LOCK_NB) == 0 && link(aside.c_str(), path.c_str()) == 0;
  const int e = errno;
  unlink(aside.c_str());
  if (made) return fd;
  close(fd);
  errno = e;
  return -1;
}

bool marked(int fd) {
  struct stat st {};
  char held[lockmark.size() + 1];
  const ssize_t n =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? pread(fd, held, sizeof held, 0) : -1;
  return n >= 0 && std::string_view(held, static_cast<std::size_t>(n)) == lockmark;
}

bool samefile(int fd, const std::string& path) {
  struct stat named {};
  struct stat own {};
  return fd >= 0 && stat(path.c_str(), &named) == 0 && fstat(fd, &own) == 0 &&
         named.st_dev == own.st_dev && named.st_ino == own.st_ino;
}

// A lock file beside the link, held while the link is served: a second
// emulator must not take over a live link, while a stale one, whose emulator
// is gone and whose pseudo-terminal number may be in use again, is replaced.
std::string locklink(line& l, const std::string& link) {
  const std::string path = link + ".lock";
  for (;;) {
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT && (fd = newlock(path)) < 0 && errno == EEXIST) continue;
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::string why;
    if (!marked(fd)) {
      why = path + ": not a lock file of velquin-sim; left as it is";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      why = errno == EWOULDBLOCK ? link + ": served by another velquin-sim"
                                 : path + ": " + std::strerror(errno);
    } else if (samefile(fd, path)) {
      l.lock = fd;
      l.lockpath = path;
      return "";
    }
    close(fd);
    if (!why.empty()) return why;
    // Its holder removed it between our open and our lock: again.
  }
}

}  // namespace

termios quietdefaults() {
  termios t{};
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return t;
}

std::string lineopen(line& l, const termios* initial, const std::string& link) {
  const auto fail = [&](const std::string& what) {
    const std::string why = what + ": " + std::strerror(errno);
    lineclose(l);
    return why;
  };
  if (!link.empty()) {
    if (std::string why = locklink(l, link); !why.empty()) return why;
  }
  l.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0) {
    return fail("pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(l.master, name, sizeof name) != 0) return fail("ptsname");
  l.slavepath = name;
  l.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (l.slave < 0) return fail(l.slavepath);
  termios t{};
  if (initial != nullptr) {
    t = *initial;
  } else {
    // Start from the kernel's own record so that every field is filled.
    tcgetattr(l.slave, &t);
    const termios q = quietdefaults();
    t.c_iflag = q.c_iflag;
    t.c_oflag = q.c_oflag;
    t.c_cflag = q.c_cflag;
    t.c_lflag = q.c_lflag;
    t.c_cc[VMIN] = q.c_cc[VMIN];
    t.c_cc[VTIME] = q.c_cc[VTIME];
  }
  if (tcsetattr(l.slave, TCSANOW, &t) != 0) return fail(l.slavepath + ": settings");
  if (!link.empty()) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0) return fail(link);
    l.link = link;
  }
  return "";
}

std::string portopen(line& l, const std::string& device) {
  l.master = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (l.master < 0) return device + ": " + std::strerror(errno);
  termios t{};
  const char* why = nullptr;
  if (!isatty(l.master)) {
    why = "not a terminal";
  } else if (tcgetsid(l.master) >= 0) {
    // Its own terminal: set raw, it would swallow the user's Ctrl-C.
    why = "the emulator's own terminal";
  } else if (flock(l.master, LOCK_EX | LOCK_NB) != 0) {
    why = "in use";
  } else if (tcgetattr(l.master, &t) != 0 || !wholeget(l.master, l.saved)) {
    why = std::strerror(errno);
  }
  if (why == nullptr) {
    cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(l.master, TCSANOW, &t) != 0) why = std::strerror(errno);
    l.port = true;
  }
  if (why == nullptr) return "";
  linehangup(l);
  return device + ": " + why;
}

int lineunread(const line& l) {
  // A real port's count is what its driver still holds, read so rather than
  // waited for with tcdrain(), which the stop could not end.
  int n = 0;
  if (l.port) return ioctl(l.master, TIOCOUTQ, &n) == 0 ? n : 0;
  return ioctl(l.slave, TIOCINQ, &n) == 0 ? n : 0;
}

void linehangup(line& l) {
  portrestore(l);
  closefd(l.master);
}

void lineabandon(const line& l) {
  portrestore(l);
  if (!l.link.empty()) unlink(l.link.c_str());
  if (!l.lockpath.empty()) unlink(l.lockpath.c_str());
}

void lineclose(line& l) {
  linehangup(l);
  closefd(l.slave);
  if (!l.link.empty()) unlink(l.link.c_str());
  l.link.clear();
  if (!l.lockpath.empty()) unlink(l.lockpath.c_str());
  l.lockpath.clear();
  closefd(l.lock);
}

outcome linesend(const line& l, std::span<const std::uint8_t> b) {
  std::size_t put = 0;
  return writeready(l.stop, l.master, b, put);
}

outcome linepause(const line& l, std::chrono::milliseconds d) {
  return sleepuntil(l.stop, steady::now() + d);
}

bool linenamed(const line& l, const std::string& path) {
  struct stat named {};
  struct stat own {};
  const int fd = l.port ? l.master : l.slave;
  return stat(path.c_str(), &named) == 0 && S_ISCHR(named.st_mode) && fstat(fd, &own) == 0 &&
         named.st_rdev == own.st_rdev;
}

bool locknamed(const line& l, const std::string& path) {
  return samefile(l.lock, path);
}

bool linesettings(const line& l, termios& t) {
  t = termios{};
  return tcgetattr(l.slave, &t) == 0;
}

}  // namespace velquin::sim
