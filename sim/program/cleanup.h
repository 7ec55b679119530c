// What a run leaves behind that outlives it: the line (a port's settings,
// the link and its lock file), the terminal, the log and the command. The
// guard puts it all back on every way out, an end signal's included, since a
// signal only ends the wait it comes in.
#pragma once
#include <signal.h>

#include "sim/program/command.h"
#include "sim/receiver/line.h"

namespace velquin::sim {

// The end signals (INT, TERM, HUP, QUIT) as events, from here to the end of
// the run: one the emulator was not started ignoring is noted, and makes the
// descriptor returned readable, so that every wait on it ends; ignored ones
// stay ignored, for the command too. A message waiting for a standard error
// nobody reads gives up once the descriptor is readable. They and the
// job-control signals are unblocked, whatever mask the emulator was started
// with (one pending since is taken now), and SIGCHLD is at its default, so
// that the command's status can be had. -1 (errno) when no descriptor is
// left.
int watchsignals();
// The signal mask the emulator was started with, which its command starts
// with.
const sigset_t& startmask();
// Makes `stop`, from watchsignals(), readable also once `fd` is.
bool stopalso(int stop, int fd);
// The end signal that came; 0 while none has.
int endsignal();
// Ends the emulator by the end signal that came, as if it had no handler for
// it; returns when none came.
void endbysignal();

struct served {
  line l;  // its stop: from watchsignals()
  int log = -1;
  command& cmd;

  explicit served(command& c, int stop);
  // Hangs up, waits for the command (once an end signal came, no more than a
  // second after handing the signal on to it) and puts everything back.
  ~served();
  served(const served&) = delete;
  served& operator=(const served&) = delete;
};

// From now on, where the run cannot go on even by an exception (memory so
// short that none can be made), what it made is put back and it exits with
// status 1.
void guardterminate();

}  // namespace velquin::sim
