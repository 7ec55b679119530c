#include "sim/program/session.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/program/command.h"
#include "sim/program/keyboard.h"
#include "sim/program/records.h"
#include "sim/receiver/exchange.h"
#include "sim/receiver/keys.h"
#include "sim/receiver/line.h"

namespace velquin::sim {
namespace {

using namespace std::chrono_literals;

constexpr int cannotrun = 127;
constexpr auto settle = 100ms;        // the count of unread bytes stays at 0 this long
constexpr int readlimitseconds = 10;  // the longest the tool is given to read the rest
constexpr auto readlimit = std::chrono::seconds(readlimitseconds);
constexpr auto forever = std::chrono::hours(24 * 365);

int complain(int status, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", me, message.c_str());
  return status;
}

// A record to replay, read a line at a time. One that can be read twice (a
// regular file) is checked whole first, so that a bad line fails before
// anything is sent; a pipe is checked line by line as it is sent.
struct record {
  std::string path;
  std::FILE* in = nullptr;
};

std::string recordproblem(const record& r, int bad, int views) {
  if (bad < 0) return r.path + ": " + std::strerror(errno);
  if (bad > 0) return r.path + ":" + std::to_string(bad) + ": not a line of the tool's output";
  return views == 0 ? r.path + ": no line of the tool's output" : "";
}

bool openrecord(record& r, std::string& error) {
  r.in = r.path == "-" ? stdin : std::fopen(r.path.c_str(), "rbe");
  struct stat st {};
  const bool opened = r.in != nullptr && fstat(fileno(r.in), &st) == 0;
  // A directory opens, and only reading it would fail, after the line is made.
  if (opened && S_ISDIR(st.st_mode)) errno = EISDIR;
  if (!opened || S_ISDIR(st.st_mode)) {
    error = r.path + ": " + std::strerror(errno);
    return false;
  }
  const off_t start = S_ISREG(st.st_mode) ? ftello(r.in) : -1;
  if (start < 0) return true;
  int views = 0;
  const int bad = readrecord(r.in, [&](bytes&) { return ++views > 0; });
  error = recordproblem(r, bad, views);
  if (error.empty() && fseeko(r.in, start, SEEK_SET) != 0) {
    error = r.path + ": " + std::strerror(errno);
  }
  return error.empty();
}

// What goes out after the exchange, in the order given: batches made up
// front, or a record replayed as it is read.
struct part {
  std::vector<bytes> batches;
  record* replayed = nullptr;
};

// The random inputs draw from `rng` first, then the exchange's noise.
std::vector<part> makeparts(const options& o, std::mt19937& rng, std::vector<record>& records) {
  std::vector<part> parts;
  auto next = records.begin();
  for (const input& in : o.inputs) {
    if (in.from == source::replay) {
      parts.push_back({{}, &*next++});
      continue;
    }
    batches b;
    b.group = o.group;
    char unknown = 0;
    if (in.from == source::text) typetext(b, unescape(in.arg), unknown);
    if (in.from == source::codes) typecodes(b, in.data);
    if (in.from == source::raw) b.addbatch(in.data);
    if (in.from == source::random) b.addbatch(randombytes(rng, in.size));
    if (in.from == source::mangled) b.addbatch(mangledframes(rng, in.size));
    parts.push_back({std::move(b.list), nullptr});
  }
  return parts;
}

// The link and its lock file are removed, a port's settings and the
// terminal put back, even when a signal ends the run.
constexpr int endsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const line* served = nullptr;

sigset_t endset() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : endsignals) sigaddset(&set, sig);
  return set;
}

void onsignal(int sig) {
  lineabandon(*served);
  keyboardoff();
  signal(sig, SIG_DFL);
  raise(sig);
}

// One run: the line, the command on it, and what goes out after the exchange.
struct session {
  const options& o;
  line l;
  std::FILE* log = nullptr;  // every byte sent after the exchange, when asked
  int logerror = 0;          // errno of a write to the log that failed
  command cmd;
  bool sending = true;  // until a send fails or the command ends

  bool sendbatch(std::span<const std::uint8_t> b) {
    const pacing p{std::chrono::milliseconds(o.pacems), static_cast<std::size_t>(o.split), o.rate};
    if (sending && !cmd.reap(false) && velquin::sim::sendbatch(l, p, b, log)) return true;
    if (log != nullptr && std::ferror(log) && logerror == 0) logerror = errno;
    sending = false;
    return false;
  }

  // 0, or the status of a record that turns out bad as it is sent.
  int replay(record& r) {
    int views = 0;
    const int bad = readrecord(r.in, [&](bytes& b) { return ++views > 0 && sendbatch(b); });
    if (!sending) return 0;
    const std::string problem = recordproblem(r, bad, views);
    return problem.empty() ? 0 : complain(usageerror, problem);
  }

  // Types what comes on standard input until it ends, or the command does.
  // At a terminal, a key no key types is said and passed over.
  int typestdin(bool keyboard) {
    for (;;) {
      pollfd p[2] = {{0, POLLIN, 0}, {l.stop, POLLIN, 0}};
      const int ready = poll(p, 2, 50);
      if (p[1].revents != 0 || cmd.reap(false)) return 0;
      if (ready <= 0 || p[0].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) return 0;
      std::string text(buf, static_cast<std::size_t>(n));
      const std::size_t end = keyboard ? text.find(endoftyping) : std::string::npos;
      if (end != std::string::npos) text.resize(end);
      batches b;
      b.group = o.group;
      char unknown = 0;
      for (std::string_view rest = text; !typetext(b, rest, unknown);) {
        complain(usageerror, untypeable(unknown));
        if (!keyboard) {
          sendall(b);
          return usageerror;
        }
        rest.remove_prefix(rest.find(unknown) + 1);
      }
      if (!sendall(b) || end != std::string::npos) return 0;
    }
  }

  bool sendall(const batches& b) {
    for (const bytes& batch : b.list) {
      if (!sendbatch(batch)) return false;
    }
    return true;
  }

  // Waits until the tool has read everything sent, or has ended: a hang-up
  // throws away what it has not read. Bytes still on their way to the port
  // side do not count as unread, so the count must stay at 0 for a while.
  void waitread() {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto quiet = start;
    for (int unread = lineunread(l); !cmd.reap(false); unread = lineunread(l)) {
      const auto now = clock::now();
      if (unread > 0) {
        quiet = now;
      } else if (now - quiet >= settle) {
        return;
      }
      if (now - start >= readlimit) {
        complain(0, std::to_string(unread) + " bytes sent not read within " +
                        std::to_string(readlimitseconds) + " s; hanging up");
        return;
      }
      if (!linepause(l, 10ms)) return;
    }
  }

  // Hangs up, waits for the command and puts everything back. The signals
  // that end a run wait until it is done, and then find their default action.
  void end() {
    const sigset_t blocked = endset();
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    keyboardoff();
    linehangup(l);
    if (log != nullptr && std::fclose(log) != 0 && logerror == 0) logerror = errno;
    log = nullptr;
    cmd.reap(true);
    lineclose(l);
    if (cmd.done >= 0) close(cmd.done);
    for (const int sig : endsignals) signal(sig, SIG_DFL);
    served = nullptr;
    sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  }
};

// A log that is one of the records replayed would be emptied before it is read.
bool logisrecord(const std::string& log, const std::vector<record>& records) {
  struct stat named {};
  if (log.empty() || stat(log.c_str(), &named) != 0) return false;
  for (const record& r : records) {
    struct stat st {};
    if (r.in != nullptr && fstat(fileno(r.in), &st) == 0 && st.st_dev == named.st_dev &&
        st.st_ino == named.st_ino) {
      return true;
    }
  }
  return false;
}

}  // namespace

int run(const options& o) {
  std::vector<record> records;
  std::string err;
  for (const input& in : o.inputs) {
    if (in.from != source::replay) continue;
    records.push_back({in.arg});
    if (!openrecord(records.back(), err)) return complain(usageerror, err);
  }
  if (logisrecord(o.log, records)) {
    return complain(usageerror, o.log + ": the record to replay; --log would overwrite it");
  }
  std::mt19937 rng(static_cast<unsigned>(o.seed));
  const std::vector<part> parts = makeparts(o, rng, records);
  answers a = noisyanswers(rng, static_cast<std::size_t>(o.noise), o.wrong, o.silent);
  a.gap = std::chrono::milliseconds(o.gapms);
  for (int i = 0; i < 3; ++i) a.from[i] = o.late[i] ? 1 : 0;

  session s{o, {}, nullptr, 0, {}};
  // A signal while the line is being made waits until it can be undone.
  const sigset_t ending = endset();
  sigprocmask(SIG_BLOCK, &ending, nullptr);
  const bool opened =
      o.port.empty() ? lineopen(s.l, nullptr, o.link, err) : portopen(s.l, o.port, err);
  if (!opened) return complain(1, err);
  served = &s.l;
  for (const int sig : endsignals) signal(sig, onsignal);
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Keys pressed during the exchange wait for it, unechoed.
  const bool keyboard = o.inputs.empty() && keyboardon();
  // Made only once the line is ready, and kept from the command.
  if (!o.log.empty() && (s.log = std::fopen(o.log.c_str(), "wbe")) == nullptr) {
    const int e = errno;
    s.end();
    return complain(1, o.log + ": " + std::strerror(e));
  }
  if (!linesend(s.l, o.stale)) {
    const int e = errno;
    s.end();
    return complain(1, std::string("stale bytes: ") + std::strerror(e));
  }
  // The receiver's input comes from our standard input; the command gets none.
  bool readsstdin = o.inputs.empty();
  for (const input& in : o.inputs)
    readsstdin = readsstdin || (in.from == source::replay && in.arg == "-");
  if (!o.command.empty()) {
    const bool started = s.cmd.start(o.command, readsstdin, err);
    if (!started || s.cmd.done < 0) {
      complain(0, err);
      s.end();
      return started ? 1 : cannotrun;
    }
    s.l.stop = s.cmd.done;
  }

  int result = 0;
  if (playexchange(s.l, a, forever, nullptr)) {
    for (const part& p : parts) {
      for (const bytes& b : p.batches) s.sendbatch(b);
      if (p.replayed != nullptr && s.sending) result = s.replay(*p.replayed);
      if (result != 0) break;
    }
    if (o.inputs.empty() && s.sending) result = s.typestdin(keyboard);
    // Sending stops at a failed log write, but what went out before it, up to
    // the exchange's last answer, still reaches the tool.
    s.waitread();
    if (s.logerror == 0) linepause(s.l, std::chrono::milliseconds(o.holdms));
  }
  s.end();
  if (s.logerror != 0) return complain(1, o.log + ": " + std::strerror(s.logerror));
  return result != 0 || s.cmd.pid < 0 ? result : s.cmd.exitstatus();
}

}  // namespace velquin::sim
