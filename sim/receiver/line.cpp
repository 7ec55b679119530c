#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/receiver/line.h"

namespace velquin::sim {
namespace {

void closefd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits for `events` on fd (-1: none) and for the stop at once: 1 when fd is
// ready, 0 when `ms` ran out or a signal came, -1 once the stop has fired.
int waitfor(const line& l, int fd, short events, int ms) {
  pollfd p[2] = {{fd, events, 0}, {l.stop, POLLIN, 0}};
  const int n = poll(p, 2, ms);
  if (n > 0 && p[1].revents != 0) {
    errno = ECANCELED;
    return -1;
  }
  return n > 0 ? 1 : 0;
}

// Puts a real port's settings back, the whole of them where the kernel
// answered for them.
void portrestore(const line& l) {
  if (!l.port || l.master < 0) return;
  if (!wholeset(l.master, l.savedwhole)) tcsetattr(l.master, TCSANOW, &l.saved);
}

// A log that cannot be written fails the send like the line would, with
// errno and the log's error flag set.
bool sendlogged(line& l, std::span<const std::uint8_t> b, std::FILE* log) {
  if (!linesend(l, b)) return false;
  return log == nullptr ||
         (std::fwrite(b.data(), 1, b.size(), log) == b.size() && std::fflush(log) == 0);
}

// As a serial line delivers them: byte k has fully arrived (k + 1) * 10 bits
// after the batch began, and what has arrived is handed on every 10 ms.
bool sendpaced(line& l, int rate, std::span<const std::uint8_t> b, std::FILE* log) {
  if (rate == 0) return sendlogged(l, b, log);
  constexpr auto slice = std::chrono::milliseconds(10);
  constexpr long long slicespersecond = 100;
  constexpr long long bitsperbyte = 10;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t sent = 0; sent < b.size();) {
    const long long bits = static_cast<long long>(sent + 1) * bitsperbyte * slicespersecond;
    const long long n = (bits + rate - 1) / rate;  // the slice in which byte `sent` is complete
    const auto wait = start + n * slice - std::chrono::steady_clock::now();
    if (!linepause(l, std::chrono::ceil<std::chrono::milliseconds>(wait))) return false;
    const auto due = static_cast<std::size_t>(n * rate / (bitsperbyte * slicespersecond));
    const std::size_t upto = std::min(b.size(), due);
    if (!sendlogged(l, b.subspan(sent, upto - sent), log)) return false;
    sent = upto;
  }
  return true;
}

// A lock file beside the link, held while the link is served: a second
// emulator must not take over a live link, while a stale one, whose emulator
// is gone and whose pseudo-terminal number may be in use again, is replaced.
bool locklink(line& l, const std::string& link, std::string& err) {
  const std::string path = link + ".lock";
  for (;;) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      err = path + ": " + std::strerror(errno);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      err = errno == EWOULDBLOCK ? link + ": served by another velquin-sim"
                                 : path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    // Its holder may have removed it between our open and our lock.
    struct stat held {};
    struct stat named {};
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      l.lock = fd;
      l.lockpath = path;
      return true;
    }
    close(fd);
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

bool lineopen(line& l, const termios* initial, const std::string& link, std::string& err) {
  const auto fail = [&](const std::string& what) {
    err = what + ": " + std::strerror(errno);
    lineclose(l);
    return false;
  };
  if (!link.empty() && !locklink(l, link, err)) return false;
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
  return true;
}

bool portopen(line& l, const std::string& device, std::string& err) {
  l.master = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (l.master < 0) {
    err = device + ": " + std::strerror(errno);
    return false;
  }
  const char* why = nullptr;
  if (!isatty(l.master)) {
    why = "not a terminal";
  } else if (tcgetsid(l.master) >= 0) {
    // Its own terminal: set raw, it would swallow the user's Ctrl-C.
    why = "the emulator's own terminal";
  } else if (flock(l.master, LOCK_EX | LOCK_NB) != 0) {
    why = "in use";
  } else if (tcgetattr(l.master, &l.saved) != 0) {
    why = std::strerror(errno);
  }
  if (why == nullptr) {
    wholeget(l.master, l.savedwhole);
    termios t = l.saved;
    cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(l.master, TCSANOW, &t) != 0) why = std::strerror(errno);
    l.port = true;
  }
  if (why != nullptr) {
    err = device + ": " + why;
    linehangup(l);
    return false;
  }
  return true;
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

bool linesend(line& l, std::span<const std::uint8_t> b) {
  std::size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = write(l.master, b.data() + done, b.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      errno = EIO;
      return false;
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (waitfor(l, l.master, POLLOUT, -1) < 0) {
      return false;  // nobody reads a full line once the command is gone
    }
  }
  return true;
}

bool linepause(const line& l, std::chrono::milliseconds d) {
  const auto until = std::chrono::steady_clock::now() + d;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    if (waitfor(l, -1, 0, static_cast<int>(left.count())) < 0) return false;
  }
}

bool linestopped(const line& l) {
  return waitfor(l, -1, 0, 0) < 0;
}

bool linesettings(const line& l, termios& t) {
  t = termios{};
  return tcgetattr(l.slave, &t) == 0;
}

bool sendbatch(line& l, const pacing& p, std::span<const std::uint8_t> b, std::FILE* log) {
  if (p.split > 0 && b.size() > p.split) {
    if (!sendpaced(l, p.rate, b.first(p.split), log) || !linepause(l, p.pause)) return false;
    b = b.subspan(p.split);
  }
  return sendpaced(l, p.rate, b, log) && linepause(l, p.pause);
}

}  // namespace velquin::sim
