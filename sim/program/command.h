// A command run beside the receiver, normally the tool.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace velquin::sim {

struct command {
  pid_t pid = -1;
  int status = 0;
  bool ended = false;
  int done = -1;  // a pidfd, readable once it has ended; -1 where the kernel has none

  // Starts `words`, with standard input on /dev/null when `quietstdin`; false
  // when it cannot be run. Where it cannot be watched (`done` stays -1), it
  // is killed at once, with `err` set.
  bool start(const std::vector<std::string>& words, bool quietstdin, std::string& err);
  void reap();             // waits for it to end
  int exitstatus() const;  // its status, 128 + the signal that ended it
};

}  // namespace velquin::sim
