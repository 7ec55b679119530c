#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/receiver/line.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {
namespace {

void closefd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Puts a real port's settings back, the whole of them where the kernel
// answered for them.
void portrestore(const line& l) {
  if (!l.port || l.master < 0) return;
  if (!wholeset(l.master, l.savedwhole)) tcsetattr(l.master, TCSANOW, &l.saved);
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

bool linesend(const line& l, std::span<const std::uint8_t> b) {
  return writeall(l.stop, l.master, b) == b.size();
}

bool linepause(const line& l, std::chrono::milliseconds d) {
  const woke w = sleepuntil(l.stop, steady::now() + d);
  if (w == woke::stopped) errno = ECANCELED;
  return w == woke::due;
}

bool linenamed(const line& l, const std::string& path) {
  struct stat named {};
  struct stat own {};
  const int fd = l.port ? l.master : l.slave;
  return stat(path.c_str(), &named) == 0 && S_ISCHR(named.st_mode) && fstat(fd, &own) == 0 &&
         named.st_rdev == own.st_rdev;
}

bool linesettings(const line& l, termios& t) {
  t = termios{};
  return tcgetattr(l.slave, &t) == 0;
}

}  // namespace velquin::sim
