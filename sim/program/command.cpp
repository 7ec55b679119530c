#include "sim/program/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "sim/program/cleanup.h"
#include "sim/program/complain.h"
#include "sim/receiver/wait.h"

extern char** environ;

namespace velquin::sim {

constexpr int cannotrun = 127;

int command::start(const std::vector<std::string>& words, bool quietstdin, int stop) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Failing (ENOMEM), the command would read the emulator's own input.
  int e = quietstdin ? posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) : 0;
  // The emulator ignores SIGPIPE; the command starts with it as usual. The
  // signals it handles start as they were, since a handler does not outlive
  // exec, and so does the mask it unblocked some in.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipe);
  posix_spawnattr_setsigmask(&attributes, &startmask());
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (e == 0) e = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (e != 0) {
    pid = -1;
    return complain(cannotrun, failure("cannot run " + words[0], e));
  }
  // Not yet reaped, it cannot be another process by now. Every wait of the
  // emulator watches it; without it they could outlive the command for ever.
  done = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (done >= 0 && stopalso(stop, done)) return 0;
  const int why = errno;
  kill(pid, SIGKILL);
  if (done >= 0) close(done);
  done = -1;
  return complain(1, failure("cannot watch " + words[0], why));
}

void command::end(int signal) {
  if (pid < 0) return;
  if (signal != 0 && done >= 0) {
    kill(pid, signal);
    kill(pid, SIGCONT);
    waitfor(-1, done, POLLIN, steady::now() + std::chrono::seconds(1));
  }
  const int flags = done >= 0 ? WNOHANG : 0;
  pid_t reaped = -1;
  while ((reaped = waitpid(pid, &status, flags)) < 0 && errno == EINTR) continue;
  if (reaped != pid) status = 0;
}

int command::exitstatus() const {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

}  // namespace velquin::sim
