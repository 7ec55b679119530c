#include "sim/program/session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "sim/program/cleanup.h"
#include "sim/program/command.h"
#include "sim/program/complain.h"
#include "sim/program/inputs.h"
#include "sim/program/keyboard.h"
#include "sim/receiver/exchange.h"
#include "sim/receiver/line.h"
#include "sim/receiver/send.h"
#include "sim/receiver/wait.h"

namespace velquin::sim {
namespace {

using namespace std::chrono_literals;

constexpr auto settle = 100ms;    // the count of unread bytes stays at 0 this long
constexpr auto firstlook = 10ms;  // the soonest the count is looked at again

const std::string& linename(const options& o) {
  return o.port.empty() ? o.link : o.port;
}

// Waits until the tool has read everything sent, or has ended, or `limit`
// has passed: the bytes left unread then. Bytes still on their way to the
// port side do not count as unread, so the count must stay at 0 for a while.
// Nothing tells when the tool reads, so the count is looked at: soon after
// it changes, less often while it stays, and once more when it is 0.
int waitread(const line& l, steady::duration limit) {
  const auto start = steady::now();
  auto seen = start;  // when bytes were last seen unread
  auto step = firstlook;
  for (int before = -1;;) {
    const int unread = lineunread(l);
    const auto now = steady::now();
    if (unread == 0 && now - seen >= settle) return 0;
    if (now - start >= limit) return unread;
    step = unread == before ? std::min(step * 2, settle) : firstlook;
    before = unread;
    if (unread > 0) seen = now;
    if (sleepuntil(l.stop, unread > 0 ? now + step : seen + settle) != outcome::due) return 0;
  }
}

// The status of a run whose sending ended so, once the tool has read what
// went out: 0 when the command's own is the run's.
int finish(const options& o, served& s, const sender& out, outcome last, int status) {
  if (last == outcome::failed) {
    return complain(1, failure(out.logfailed ? o.log : linename(o), out.error));
  }
  if (out.unlogged > 0) {
    return complain(1, o.log + ": " + std::to_string(out.unlogged) +
                           " bytes sent not written before the command ended");
  }
  linepause(s.l, std::chrono::milliseconds(o.holdms));
  const int log = s.log;
  s.log = -1;
  if (log >= 0 && close(log) != 0) return complain(1, failure(o.log, errno));
  return status;
}

// The exchange, then what goes out after it. An end signal leaves the rest to
// the guard.
int play(const options& o, served& s, const answers& a, const std::vector<inputfile>& files,
         std::mt19937& rng, bool keyboard) {
  if (const outcome w = playexchange(s.l, a, never, nullptr); w != outcome::done) {
    return w == outcome::failed ? complain(1, failure(linename(o), errno)) : 0;
  }
  sender out{s.l, {}, s.log};
  outcome last = outcome::done;
  // A read of the terminal from the background stops the whole job: not
  // before the tool has read the last answer, which it would then time out on.
  if (keyboard) waitread(s.l, readlimit);
  const int status = sendinputs(o, files, rng, out, last, keyboard);
  if (endsignal() != 0) return 0;
  // Sending stops at a failed send, but what went out before it still
  // reaches the tool; a hang-up throws away what it has not read.
  if (const int unread = waitread(s.l, readlimit)) {
    complain(0, std::to_string(unread) + " bytes sent not read within " +
                    std::to_string(readlimit.count()) + " s; hanging up");
  }
  return finish(o, s, out, last, status);
}

// The line, the log, the stale bytes and the command, in that order; then the
// run. 0 when the command's status is the run's.
int serve(const options& o, served& s, const answers& a, const std::vector<inputfile>& files,
          std::mt19937& rng) {
  // An end signal that came before is the run's end: nothing is made.
  if (endsignal() != 0) return 0;
  const std::string why = o.port.empty() ? lineopen(s.l, nullptr, o.link) : portopen(s.l, o.port);
  if (!why.empty()) return complain(1, why);
  signal(SIGPIPE, SIG_IGN);
  if (!o.log.empty() && linenamed(s.l, o.log)) {
    return complain(usageerror, o.log + ": the line itself; --log would send into it");
  }
  if (!o.log.empty() && locknamed(s.l, o.log)) {
    return complain(usageerror, o.log + ": the link's lock file; --log would overwrite it");
  }
  // Made only once the line is ready, and kept from the command.
  constexpr int logflags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (!o.log.empty() && (s.log = open(o.log.c_str(), logflags, 0666)) < 0) {
    return complain(1, failure(o.log, errno));
  }
  if (linesend(s.l, o.stale) == outcome::failed) {
    return complain(1, failure("stale bytes", errno));
  }
  // Keys pressed during the exchange wait for it, unechoed.
  const bool keyboard = o.inputs.empty() && keyboardon();
  if (keyboard) {
    complain(0,
             "keys typed here go out as they are pressed, once the tool has started; Ctrl-D "
             "ends typing");
  }
  if (!o.command.empty() && endsignal() == 0) {
    // The receiver's input comes from our standard input; the command gets none.
    if (const int status = s.cmd.start(o.command, readsstdin(o), s.l.stop)) return status;
  }
  return play(o, s, a, files, rng, keyboard);
}

// An input the log would empty, or that would be sent what the run writes:
// 2, said.
int refuseloop(const options& o, const inputfile& f, const char* what) {
  if (!o.log.empty() && inputnamed(o.log, f)) {
    return complain(usageerror, o.log + ": " + what + "; --log would overwrite it");
  }
  for (const auto& [fd, name] : {std::pair{1, "output"}, {2, "error"}}) {
    if (inputon(fd, f)) {
      return complain(usageerror, f.path + ": also the run's standard " + std::string(name) +
                                      "; it would send back what the run writes");
    }
  }
  return 0;
}

// Whether `path` is the device `fd` is open on, which a write would feed.
bool samedevice(const std::string& path, int fd) {
  struct stat named {};
  struct stat open {};
  return stat(path.c_str(), &named) == 0 && S_ISCHR(named.st_mode) && fstat(fd, &open) == 0 &&
         S_ISCHR(open.st_mode) && named.st_rdev == open.st_rdev;
}

int refuseloops(const options& o, const std::vector<inputfile>& files) {
  for (const inputfile& f : files) {
    if (f.from == source::keyboard && !o.log.empty() && samedevice(o.log, f.fd)) {
      return complain(usageerror, o.log + ": the keyboard; --log would send into it");
    }
    const char* what = f.from == source::replay ? "the record to replay" : "the file to send";
    if (const int status = refuseloop(o, f, what)) return status;
  }
  if (!o.inputs.empty()) return 0;
  // Typed from: one that cannot be read (nohup's, a directory) is refused,
  // and so is a log that is it; only a regular file is also one the run's
  // output could be (a relay's socket or a FIFO on both ends is two streams).
  const int mode = fcntl(0, F_GETFL);
  if (mode >= 0 && (mode & O_ACCMODE) == O_WRONLY) {
    return complain(usageerror, "standard input: not open for reading");
  }
  struct stat typed {};
  if (fstat(0, &typed) == 0 && S_ISDIR(typed.st_mode)) {
    return complain(usageerror, failure("standard input", EISDIR));
  }
  const inputfile in{source::text, "standard input", 0};
  if (!S_ISREG(typed.st_mode) && !o.log.empty() && inputnamed(o.log, in)) {
    return complain(usageerror, o.log + ": the typed standard input; --log would send into it");
  }
  return S_ISREG(typed.st_mode) ? refuseloop(o, in, "the typed standard input") : 0;
}

}  // namespace

int run(const options& o) {
  const int stop = watchsignals();
  if (stop < 0) return complain(1, failure("end signals", errno));
  std::vector<inputfile> files;
  if (const int status = inputsopen(o, files, stop)) return status;
  if (const int status = refuseloops(o, files)) return status;
  // The exchange's noise first, then the random inputs as they are sent.
  std::mt19937 rng(static_cast<unsigned>(o.seed));
  answers a = noisyanswers(rng, static_cast<std::size_t>(o.noise), o.wrong, o.silent);
  a.gap = std::chrono::milliseconds(o.gapms);
  for (int i = 0; i < 3; ++i) a.from[i] = o.late[i] ? 1 : 0;

  command cmd;
  int status = 0;
  {
    served s(cmd, stop);
    status = serve(o, s, a, files, rng);
  }
  return status != 0 || cmd.pid < 0 ? status : cmd.exitstatus();
}

}  // namespace velquin::sim
