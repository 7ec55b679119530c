// A command run beside the receiver, normally the tool.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace velquin::sim {

struct command {
  pid_t pid = -1;
  int status = 0;
  int done = -1;  // a pidfd, readable once it has ended

  // Starts `words`, with standard input on /dev/null when `quietstdin`: 0
  // once it runs and `stop` fires when it ends. Otherwise the exit status,
  // said: 127 when it cannot be run; 1 when it cannot be watched (no pidfd:
  // Linux before 5.3, or no descriptor left), and it is then killed.
  int start(const std::vector<std::string>& words, bool quietstdin, int stop);
  // Reaps it, once it has ended. Given an end signal, hands it on first, with
  // SIGCONT for one that is stopped, and waits no more than a second.
  void end(int signal);
  int exitstatus() const;  // its status, 128 + the signal that ended it
};

}  // namespace velquin::sim
