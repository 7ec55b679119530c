#include "sim/program/keyboard.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace velquin::sim {
namespace {

termios cooked;                      // the terminal as it was found
volatile sig_atomic_t wanted = 0;    // keyboardon() has switched it
volatile sig_atomic_t switched = 0;  // it is switched now

// Sets the terminal to `t`, only while the emulator is in its foreground
// process group: from the background a change would stop it (SIGTTOU), or,
// with that blocked, change the terminal under the foreground job. SIGTTOU is
// blocked between the look and the change, so that a job change between them
// cannot stop it. Async-signal-safe.
bool setinforeground(const termios& t) {
  sigset_t ttou;
  sigset_t was;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &was);
  const bool set = tcgetpgrp(0) == getpgrp() && tcsetattr(0, TCSANOW, &t) == 0;
  sigprocmask(SIG_SETMASK, &was, nullptr);
  return set;
}

void keyboardset() {
  termios t = cooked;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (setinforeground(t)) switched = 1;
}

// Back in the foreground after a stop, or never stopped (an orphaned process
// group ignores Ctrl-Z).
void keyboardagain() {
  if (wanted != 0 && switched == 0) keyboardset();
}

void oncontinue(int) {
  const int e = errno;
  keyboardagain();
  errno = e;
}

// Ctrl-Z: the shell gets its terminal back as it was, and the emulator stops.
void onstop(int) {
  const int e = errno;
  keyboardoff();
  signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  raise(SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  signal(SIGTSTP, onstop);
  keyboardagain();
  errno = e;
}

}  // namespace

bool keyboardon() {
  if (!isatty(0) || tcgetpgrp(0) != getpgrp() || tcgetattr(0, &cooked) != 0) return false;
  struct sigaction a {};
  a.sa_flags = SA_RESTART;
  a.sa_handler = oncontinue;
  sigaction(SIGCONT, &a, nullptr);
  a.sa_handler = onstop;
  sigaction(SIGTSTP, &a, nullptr);
  wanted = 1;
  keyboardset();
  return switched != 0;
}

void keyboardoff() {
  if (switched != 0 && setinforeground(cooked)) switched = 0;
}

}  // namespace velquin::sim
