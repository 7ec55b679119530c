#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "sim/program/command.h"

extern char** environ;

namespace velquin::sim {

bool command::start(const std::vector<std::string>& words, bool quietstdin, std::string& err) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Failing (ENOMEM), the command would read the emulator's own input.
  int e = quietstdin ? posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) : 0;
  // The emulator ignores SIGPIPE; the command starts with it as usual.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipe);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (e == 0) e = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (e != 0) {
    err = "cannot run " + words[0] + ": " + std::strerror(e);
    pid = -1;
    return false;
  }
  // Not yet reaped, it cannot be another process by now. Every wait of the
  // emulator watches it; without it (Linux before 5.3) they could outlive
  // the command for ever, so the command is killed and the run refused.
  done = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (done < 0) {
    err = "cannot watch " + words[0] + ": " + std::strerror(errno);
    kill(pid, SIGKILL);
  }
  return true;
}

void command::reap() {
  if (pid > 0 && !ended && waitpid(pid, &status, 0) == pid) ended = true;
}

int command::exitstatus() const {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

}  // namespace velquin::sim
