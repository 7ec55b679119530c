#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>

#include "sim/command.h"

extern char** environ;

namespace velquin::sim {

bool command::start(const std::vector<std::string>& words, bool quietstdin, std::string& err) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quietstdin) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The emulator ignores SIGPIPE; the command starts with it as usual.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipe);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  const int e = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (e != 0) {
    err = "cannot run " + words[0] + ": " + std::strerror(e);
    pid = -1;
  }
  return e == 0;
}

bool command::reap(bool wait) {
  if (pid > 0 && !ended && waitpid(pid, &status, wait ? 0 : WNOHANG) == pid) ended = true;
  return ended;
}

int command::exitstatus() const {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

}  // namespace velquin::sim
