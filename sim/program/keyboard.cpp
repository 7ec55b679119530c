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

// A process in the background that set the terminal would be stopped by
// SIGTTOU, and would change it under the foreground job.
bool foreground() {
  return tcgetpgrp(0) == getpgrp();
}

void keyboardset() {
  termios t = cooked;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(0, TCSANOW, &t) == 0) switched = 1;
}

// Back in the foreground after a stop, or never stopped (an orphaned process
// group ignores Ctrl-Z).
void keyboardagain() {
  if (wanted != 0 && switched == 0 && foreground()) keyboardset();
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
  if (!isatty(0) || !foreground() || tcgetattr(0, &cooked) != 0) return false;
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
  if (switched == 0) return;
  tcsetattr(0, TCSANOW, &cooked);
  switched = 0;
}

}  // namespace velquin::sim
