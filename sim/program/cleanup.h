// What a run leaves behind that outlives it: the line (a port's settings,
// the link and its lock file), the terminal, the log and the command. The
// guard puts it all back on every way out: its destructor on every return
// and exception, the end signals' handler, which is async-signal-safe, when
// a signal ends the run.
#pragma once
#include "sim/program/command.h"
#include "sim/receiver/line.h"

namespace velquin::sim {

struct served {
  line l;
  int log = -1;
  command& cmd;

  // Blocks the end signals: one that comes while the line is being made
  // waits until it can be undone.
  explicit served(command& c);
  // Hangs up, waits for the command and puts everything back. The end
  // signals wait until it is done, and then find their default action.
  ~served();
  served(const served&) = delete;
  served& operator=(const served&) = delete;

  // The line is made: from now on an end signal puts it back, and the
  // terminal, before it ends the run.
  void guard();
};

// From now on, where the run cannot go on even by an exception (memory so
// short that none can be made), what it made is put back as an end signal
// puts it, and it exits with status 1.
void guardterminate();

}  // namespace velquin::sim
