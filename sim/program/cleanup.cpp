#include "sim/program/cleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "sim/program/complain.h"
#include "sim/program/keyboard.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {
namespace {

constexpr int endsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int jobsignals[] = {SIGTSTP, SIGCONT, SIGTTIN};
sigset_t started;
volatile sig_atomic_t came = 0;
int wake = -1;  // the write end of the pipe that watchsignals() watches
const line* guarded = nullptr;

void onend(int sig) {
  const int e = errno;
  if (came == 0) came = sig;
  keyboardending();
  // Non-blocking: a pipe too full to take it is readable already.
  [[maybe_unused]] const ssize_t n = write(wake, "", 1);
  errno = e;
}

// Memory so short that not even an exception can be made ends the run here,
// with no stack to unwind.
[[noreturn]] void onterminate() {
  if (guarded != nullptr) lineabandon(*guarded);
  keyboardoff();
  constexpr char said[] = "velquin-sim: out of memory\n";
  [[maybe_unused]] const ssize_t n = write(2, said, sizeof said - 1);
  _exit(1);
}

}  // namespace

int watchsignals() {
  int p[2];
  const int stop = epoll_create1(EPOLL_CLOEXEC);
  if (stop < 0 || pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0 || !stopalso(stop, p[0])) return -1;
  wake = p[1];
  struct sigaction a {};
  a.sa_handler = onend;
  // No SA_RESTART: a write to a standard error that takes nothing returns.
  // A continue that came with it (kill of a stopped job) is taken after it,
  // or its handler would stop the emulator again first.
  for (const int sig : endsignals) sigaddset(&a.sa_mask, sig);
  for (const int sig : jobsignals) sigaddset(&a.sa_mask, sig);
  for (const int sig : endsignals) {
    struct sigaction was {};
    if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) {
      sigaction(sig, &a, nullptr);
    }
  }
  // Ignored, SIGCHLD would have the command reaped by the kernel, its status
  // lost.
  signal(SIGCHLD, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  for (const int sig : endsignals) sigaddset(&unblocked, sig);
  for (const int sig : jobsignals) sigaddset(&unblocked, sig);
  sigprocmask(SIG_UNBLOCK, &unblocked, &started);
  complainuntil(stop);
  return stop;
}

const sigset_t& startmask() {
  return started;
}

bool stopalso(int stop, int fd) {
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = fd;
  return epoll_ctl(stop, EPOLL_CTL_ADD, fd, &e) == 0;
}

int endsignal() {
  return came;
}

void endbysignal() {
  const int sig = came;
  if (sig == 0) return;
  // Not blocked: its handler has returned.
  signal(sig, SIG_DFL);
  raise(sig);
}

void guardterminate() {
  std::set_terminate(onterminate);
}

served::served(command& c, int stop) : cmd(c) {
  l.stop = stop;
  guarded = &l;
}

served::~served() {
  keyboardoff();
  linehangup(l);
  if (log >= 0) close(log);
  // Its end or an end signal; one it cannot be watched for was killed.
  if (cmd.done >= 0) sleepuntil(l.stop, never);
  cmd.end(endsignal());
  lineclose(l);
  if (cmd.done >= 0) close(cmd.done);
  guarded = nullptr;
}

}  // namespace velquin::sim
