#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

extern char** environ;

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
  for (const cc_t c : t.c_cc) *os << ' ' << static_cast<unsigned>(c);
  *os << "}";
}

namespace velquin::test {

std::string hex(const bytes& b) {
  std::string s;
  for (const std::uint8_t x : b) {
    char item[4];
    std::snprintf(item, sizeof item, "%02x ", x);
    s += item;
  }
  return s;
}

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
  ssize_t n = 0;
  for (off_t at = 0; (n = pread(fileno(file_), buf, sizeof buf, at)) > 0; at += n) {
    s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

namespace {

// The shell of spawnoptions::shell, in the forked child that leads the
// session on `tty`: starts the child in a group of its own and returns in
// it; runs job commands from `control` until the child ends, and exits with
// its status. Async-signal-safe calls only.
void jobshell(int tty, int control, bool background) {
  termios found{};
  tcgetattr(tty, &found);
  sigset_t ttou;
  sigset_t was;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  // Both set the group and the terminal, whichever runs first, as shells do.
  sigprocmask(SIG_BLOCK, &ttou, &was);
  const pid_t job = fork();
  if (job < 0) _exit(126);
  if (job == 0) {
    setpgid(0, 0);
    if (!background) tcsetpgrp(tty, getpgrp());
    sigprocmask(SIG_SETMASK, &was, nullptr);
    return;
  }
  setpgid(job, job);
  if (!background) tcsetpgrp(tty, job);
  for (bool stopped = false;;) {
    pollfd p{control, POLLIN, 0};
    char command = 0;
    // The test gone, so is its job, stopped or not.
    if (poll(&p, 1, 10) > 0 && read(control, &command, 1) != 1) {
      kill(-job, SIGKILL);
      _exit(126);
    }
    // A stop is seen before the command that follows it.
    int status = 0;
    if (waitpid(job, &status, WUNTRACED | WNOHANG) == job) {
      if (!WIFSTOPPED(status)) {
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
      }
      // Its settings first: once it has the terminal, they are back.
      tcsetattr(tty, TCSANOW, &found);
      tcsetpgrp(tty, getpgrp());
      stopped = true;
    }
    if (command == jobstop) kill(-job, SIGSTOP);
    if (command == jobkill) kill(-job, SIGTERM);
    if (command == jobkill && stopped) kill(-job, SIGCONT);
    if (command != jobfg) continue;
    // The shell's settings, put back at the next stop, are those it gives the
    // terminal away with; a job running in the background gets no SIGCONT.
    tcgetattr(tty, &found);
    tcsetpgrp(tty, job);
    if (stopped) kill(-job, SIGCONT);
    stopped = false;
  }
}

}  // namespace

bool spawn(child& c, const std::string& exe, const spawnoptions& o) {
  int in[2];
  int out[2];
  int err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return false;
  }
  std::vector<std::string> words{exe};
  words.insert(words.end(), o.args.begin(), o.args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
  vars.insert(vars.end(), o.env.begin(), o.env.end());
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);

  // Only the child needs room for descriptors above the floor.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(o.fdfloor) + 64);
  if (limit.rlim_cur > limit.rlim_max) return false;

  c.pid = fork();
  if (c.pid < 0) return false;
  if (c.pid == 0) {
    // Between fork and exec: async-signal-safe calls only.
    const char* stdinpath = o.in.empty() ? "/dev/null" : o.in.c_str();
    int stdinfd = o.input && !o.shell ? in[0] : open(stdinpath, O_RDWR | O_NOCTTY);
    if (stdinfd < 0 && errno == EISDIR) stdinfd = open(stdinpath, O_RDONLY);
    const int stdoutfd = o.out.empty() ? out[1] : open(o.out.c_str(), O_WRONLY);
    if (stdinfd < 0 || stdoutfd < 0) _exit(126);
    dup2(stdinfd, 0);
    dup2(stdoutfd, 1);
    dup2(o.merged ? stdoutfd : err[1], 2);
    if (o.nonblocking && (fcntl(1, F_SETPIPE_SZ, 4096) < 0 || fcntl(1, F_SETFL, O_NONBLOCK) != 0)) {
      _exit(126);
    }
    for (const int fd : o.closed) close(fd);
    // Whatever the tests were started with.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
    for (const int sig : o.ignored) signal(sig, SIG_IGN);
    if (o.setsid || o.shell) setsid();
    const int tty = o.ctty.empty() ? -1 : open(o.ctty.c_str(), O_RDWR | O_CLOEXEC);
    if (!o.ctty.empty() && tty < 0) _exit(126);
    if (o.shell) jobshell(tty, in[0], o.background);
    if (!o.dir.empty() && chdir(o.dir.c_str()) != 0) _exit(126);
    setrlimit(RLIMIT_NOFILE, &limit);
    for (int fd = 3; fd < o.fdfloor; ++fd) dup2(2, fd);
    // Counted, its descriptors are only its own: none the test inherited.
    if (o.files > 0) close_range(static_cast<unsigned>(std::max(3, o.fdfloor)), ~0U, 0);
    const rlimit memory{o.memory, o.memory};
    const rlimit files{o.files, o.files};
    if ((o.memory > 0 && setrlimit(RLIMIT_AS, &memory) != 0) ||
        (o.files > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0)) {
      _exit(126);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int sig : o.blocked) sigaddset(&blocked, sig);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    if (o.pending != 0) raise(o.pending);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (o.input || o.shell) {
    c.in = in[1];
  } else {
    close(in[1]);
  }
  c.out = out[0];
  c.err = err[0];
  return true;
}

std::jthread exchangethread(const sim::line& l, const sim::answers& a,
                            std::chrono::milliseconds limit, bytes* heard) {
  return std::jthread([own = l, a, limit, heard](std::stop_token stop) mutable {
    own.stop = eventfd(0, EFD_CLOEXEC);
    const std::stop_callback wake(stop, [&] { eventfd_write(own.stop, 1); });
    sim::playexchange(own, a, sim::steady::now() + limit, heard);
    close(own.stop);
  });
}

std::string preload(const char* library) {
#ifdef VELQUIN_EMULATED
  return std::string("QEMU_SET_ENV=LD_PRELOAD=") + library;
#else
  return std::string("LD_PRELOAD=") + library;
#endif
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

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (const auto deadline = clock::now() + limit; !done(); std::this_thread::sleep_for(10ms)) {
    if (clock::now() >= deadline) return false;
  }
  return true;
}

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
  rusage used{};
  wait4(c.pid, &status, 0, &used);
  c.cpu = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
          static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
  for (int* fd : {&c.in, &c.out, &c.err}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (killed) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

termios distinctive() {
  termios t = sim::quietdefaults();
  t.c_iflag = ICRNL | IXON;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ISIG | ICANON;
  t.c_cc[VINTR] = 3;
  t.c_cc[VMIN] = 20;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  return t;
}

void Line::SetUp() {
  char dir[] = "/tmp/velquin-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  dir_ = dir;
  link_ = dir_ + "/ttyS1";
}

void Line::TearDown() {
  sim::lineclose(line_);
  std::filesystem::remove_all(dir_);
}

void Line::openline(const termios& initial) {
  ASSERT_EQ(sim::lineopen(line_, &initial, link_), "");
  before_ = settings();
}

spawnoptions Line::here(std::vector<std::string> args) const {
  spawnoptions o;
  o.args = std::move(args);
  o.dir = dir_;
  return o;
}

termios Line::settings() const {
  termios t{};
  EXPECT_TRUE(sim::linesettings(line_, t));
  return t;
}

bytes Line::drain(int waitms) {
  bytes got;
  pollfd p{line_.master, POLLIN, 0};
  while (poll(&p, 1, waitms) > 0 && (p.revents & POLLIN) != 0) {
    std::uint8_t buf[4096];
    const ssize_t n = read(line_.master, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
    waitms = 0;
  }
  return got;
}

}  // namespace velquin::test
