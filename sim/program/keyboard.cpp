#include "sim/program/keyboard.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velquin::sim {
namespace {

termios cooked;                     // the terminal as last found out of keyboard mode
volatile sig_atomic_t found = 0;    // `cooked` holds it
volatile sig_atomic_t typing = 0;   // typing from the terminal goes on
volatile sig_atomic_t reading = 0;  // and its keys are read
volatile sig_atomic_t ending = 0;   // an end signal came: no more stops of its own

// Held from a look at the terminal to its change, so that no stop, continue
// or job change slips between them (with SIGTTOU held, a change the shell's
// job switch races is made, not stopped).
constexpr int jobsignals[] = {SIGTTOU, SIGTSTP, SIGCONT};

// Ctrl-C and Ctrl-\ end the run whatever the terminal was.
termios keyboardmode(termios t) {
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  t.c_lflag |= ISIG;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return t;
}

// Whatever another program or a stop did to it, the terminal is looked at:
// it is in keyboard mode when switching it would change nothing.
bool inkeyboardmode(const termios& t) {
  const termios k = keyboardmode(t);
  return k.c_lflag == t.c_lflag && k.c_iflag == t.c_iflag &&
         std::memcmp(k.c_cc, t.c_cc, sizeof t.c_cc) == 0;
}

class jobsheld {
 public:
  jobsheld() {
    sigset_t jobs;
    sigemptyset(&jobs);
    for (const int sig : jobsignals) sigaddset(&jobs, sig);
    sigprocmask(SIG_BLOCK, &jobs, &was_);
  }
  ~jobsheld() { sigprocmask(SIG_SETMASK, &was_, nullptr); }
  jobsheld(const jobsheld&) = delete;
  jobsheld& operator=(const jobsheld&) = delete;

 private:
  sigset_t was_;
};

// The terminal's settings, when the emulator is in its foreground.
bool foreground(termios& now) {
  return tcgetpgrp(0) == getpgrp() && tcgetattr(0, &now) == 0;
}

// Decided from what is true now: typing goes on, the emulator has the
// terminal, and the terminal is not in keyboard mode already. What it is then
// is what it is put back to, a change made while the emulator was stopped
// among it.
void keyboardsync() {
  const jobsheld held;
  termios now;
  if (typing == 0 || !foreground(now) || inkeyboardmode(now)) return;
  cooked = now;
  found = 1;
  const termios k = keyboardmode(now);
  tcsetattr(0, TCSANOW, &k);
}

// With the job-control signals held.
void putback() {
  termios now;
  if (found != 0 && foreground(now) && inkeyboardmode(now)) tcsetattr(0, TCSANOW, &cooked);
}

// A read of nothing: in the background it stops the emulator's group
// (SIGTTIN), as any read of the terminal does, and returns once it is in the
// foreground; -1 (errno) where the terminal refuses it instead.
ssize_t readnothing() {
  char none = 0;
  return read(0, &none, 0);
}

// Gone on: in the foreground the terminal is set; put in the background while
// its keys are read, the emulator stops again, as a reader of the terminal
// does, so that it is never left running where `fg` would not continue it
// and nothing would set the terminal.
void settle() {
  keyboardsync();
  termios now;
  if (typing != 0 && reading != 0 && ending == 0 && !foreground(now)) readnothing();
}

void oncontinue(int) {
  const int e = errno;
  settle();
  errno = e;
}

// Ctrl-Z: the shell gets its terminal back as it was, and the emulator stops.
// In an orphaned process group the stop is discarded and no continue comes,
// so the terminal is looked at again at once.
void onstop(int) {
  const int e = errno;
  if (typing != 0) putback();
  struct sigaction a {};
  struct sigaction handler {};
  a.sa_handler = SIG_DFL;
  sigaction(SIGTSTP, &a, &handler);
  raise(SIGTSTP);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  sigaction(SIGTSTP, &handler, nullptr);
  settle();
  errno = e;
}

// Handled unless ignored when the emulator started, as its parent asked. No
// SA_RESTART: a read that SIGTTIN stopped returns after `fg` instead of
// waiting, in whatever mode, for a key before the wait sees anything.
void handle(int sig, void (*handler)(int)) {
  struct sigaction was {};
  if (sigaction(sig, nullptr, &was) != 0 || was.sa_handler == SIG_IGN) return;
  struct sigaction a {};
  a.sa_handler = handler;
  for (const int held : jobsignals) sigaddset(&a.sa_mask, held);
  sigaction(sig, &a, nullptr);
}

}  // namespace

bool keyboardon() {
  // Of a terminal that is not the caller's own, no process group can be had.
  if (!isatty(0) || tcgetpgrp(0) < 0) return false;
  handle(SIGCONT, oncontinue);
  handle(SIGTSTP, onstop);
  typing = 1;
  keyboardsync();
  return true;
}

bool keyboardready() {
  reading = 1;
  ssize_t n = 0;
  while (ending == 0 && (n = readnothing()) < 0 && errno == EINTR) continue;
  // Given the terminal while it ran in the background, it has had no
  // continue.
  keyboardsync();
  return n == 0;
}

void keyboardending() {
  ending = 1;
}

void keyboardoff() {
  const jobsheld held;
  if (typing == 0) return;
  typing = 0;
  putback();
}

}  // namespace velquin::sim
