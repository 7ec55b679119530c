#include "sim/program/cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <exception>

#include "sim/program/keyboard.h"

namespace velquin::sim {
namespace {

constexpr int endsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const line* guarded = nullptr;

sigset_t endset() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : endsignals) sigaddset(&set, sig);
  return set;
}

void onsignal(int sig) {
  lineabandon(*guarded);
  keyboardoff();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Memory so short that not even an exception can be made ends the run here,
// with no stack to unwind: it is put back as an end signal puts it.
[[noreturn]] void onterminate() {
  if (guarded != nullptr) lineabandon(*guarded);
  keyboardoff();
  constexpr char said[] = "velquin-sim: out of memory\n";
  [[maybe_unused]] const ssize_t n = write(2, said, sizeof said - 1);
  _exit(1);
}

}  // namespace

void guardterminate() {
  std::set_terminate(onterminate);
}

served::served(command& c) : cmd(c) {
  const sigset_t ending = endset();
  sigprocmask(SIG_BLOCK, &ending, nullptr);
}

void served::guard() {
  guarded = &l;
  for (const int sig : endsignals) signal(sig, onsignal);
  const sigset_t ending = endset();
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
}

served::~served() {
  const sigset_t ending = endset();
  sigprocmask(SIG_BLOCK, &ending, nullptr);
  keyboardoff();
  linehangup(l);
  if (log >= 0) close(log);
  cmd.reap();
  lineclose(l);
  if (cmd.done >= 0) close(cmd.done);
  for (const int sig : endsignals) signal(sig, SIG_DFL);
  guarded = nullptr;
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
}

}  // namespace velquin::sim
