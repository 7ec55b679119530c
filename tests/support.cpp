#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>

bool operator==(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

void PrintTo(const termios& t, std::ostream* os) {
  char head[160];
  std::snprintf(
      head, sizeof head, "{iflag %#x oflag %#x cflag %#x lflag %#x line %u ispeed %u ospeed %u cc",
      t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_line, cfgetispeed(&t), cfgetospeed(&t));
  *os << head;
  for (const cc_t c : t.c_cc) {
    char item[8];
    std::snprintf(item, sizeof item, " %02x", c);
    *os << item;
  }
  *os << "}";
}

namespace velquin::test {

stderrcapture::stderrcapture() : saved_(dup(2)), file_(std::tmpfile()) {
  std::fflush(stderr);
  dup2(fileno(file_), 2);
}

stderrcapture::~stderrcapture() {
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  std::fclose(file_);
}

std::string stderrcapture::text() const {
  std::fflush(stderr);
  std::string s;
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fileno(file_), buf, sizeof buf, at);
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return s;
}

bool spawn(child& c, const std::string& exe, const spawnoptions& o) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) return false;
  std::vector<std::string> words{exe};
  words.insert(words.end(), o.args.begin(), o.args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // Only the child needs room for descriptors above the floor.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (o.fdfloor > 0) {
    const rlim_t want = static_cast<rlim_t>(o.fdfloor) + 64;
    if (limit.rlim_max < want) return false;
    limit.rlim_cur = std::max(limit.rlim_cur, want);
  }
  c.pid = fork();
  if (c.pid < 0) return false;
  if (c.pid == 0) {
    // Between fork and exec: async-signal-safe calls only.
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (o.closestdin) {
      close(0);
    } else {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      close(null);
    }
    // Copies made here survive exec, unlike whatever held these numbers.
    setrlimit(RLIMIT_NOFILE, &limit);
    for (int fd = 3; fd < o.fdfloor; ++fd) dup2(1, fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  c.out = out[0];
  c.err = err[0];
  return true;
}

namespace {

using clock = std::chrono::steady_clock;

// Reads what is there on both pipes, waiting up to `ms`; false once both ended.
bool pump(child& c, int ms) {
  pollfd p[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
  if (c.out < 0 && c.err < 0) return false;
  if (poll(p, 2, ms) <= 0) return true;
  int* fds[2] = {&c.out, &c.err};
  std::string* texts[2] = {&c.outtext, &c.errtext};
  for (int k = 0; k < 2; ++k) {
    if (*fds[k] < 0 || p[k].revents == 0) continue;
    char buf[4096];
    const ssize_t n = read(*fds[k], buf, sizeof buf);
    if (n > 0) {
      texts[k]->append(buf, static_cast<std::size_t>(n));
    } else {
      close(*fds[k]);
      *fds[k] = -1;
    }
  }
  return true;
}

int msleft(clock::time_point deadline) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

}  // namespace

bool takeline(child& c, std::string& line, std::chrono::milliseconds limit) {
  const auto deadline = clock::now() + limit;
  for (;;) {
    const std::size_t end = c.outtext.find('\n');
    if (end != std::string::npos) {
      line = c.outtext.substr(0, end + 1);
      c.outtext.erase(0, end + 1);
      return true;
    }
    const int ms = msleft(deadline);
    if (ms == 0 || !pump(c, ms)) return false;
  }
}

int finish(child& c, std::chrono::milliseconds limit) {
  const auto deadline = clock::now() + limit;
  bool killed = false;
  while (!killed && pump(c, msleft(deadline))) {
    if (msleft(deadline) == 0) {
      kill(c.pid, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  waitpid(c.pid, &status, 0);
  if (c.out >= 0) close(c.out);
  if (c.err >= 0) close(c.err);
  c.out = c.err = -1;
  if (killed || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string hex(const std::vector<unsigned char>& b) {
  std::string s;
  for (const unsigned char x : b) {
    char item[4];
    std::snprintf(item, sizeof item, "%02x ", x);
    s += item;
  }
  return s;
}

}  // namespace velquin::test
