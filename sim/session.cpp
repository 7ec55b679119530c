#include "sim/session.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/command.h"
#include "sim/exchange.h"
#include "sim/keys.h"
#include "sim/line.h"
#include "sim/log.h"

namespace velquin::sim {
namespace {

using namespace std::chrono_literals;

constexpr int cannotrun = 127;
// What the emulator can hold of random or mangled bytes: over four hours of a
// 9600 bps line.
constexpr int mostbytes = 1 << 24;

[[noreturn]] void fail(int status, const std::string& message, bool tryhelp = true) {
  std::fprintf(stderr, "%s: %s\n", me, message.c_str());
  if (status == usageerror && tryhelp) std::fprintf(stderr, "Try '%s --help'.\n", me);
  std::exit(status);
}

int number(const std::string& s, const char* option, int lo, int hi) {
  int v = 0;
  std::string error;
  if (!sim::number(s, option, lo, hi, v, error)) fail(usageerror, error);
  return v;
}

bytes hexarg(const std::string& s, const char* option) {
  bytes b;
  if (!hexbytes(s, b))
    fail(usageerror, std::string("bad byte list for --") + option + ": '" + s + "'");
  return b;
}

std::string untypeable(char c) {
  char detail[8];
  std::snprintf(detail, sizeof detail, "0x%02x", static_cast<unsigned char>(c));
  return std::string("no key types the character ") + detail;
}

// Every batch a log of the tool's output records, or an error naming the
// file and the line before anything is sent.
void replay(const std::string& path, batches& b) {
  std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) fail(usageerror, path + ": " + std::strerror(errno), false);
  std::string log;
  char buf[4096];
  for (std::size_t n = 0; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) log.append(buf, n);
  // A directory opens, and only its read fails.
  if (std::ferror(in)) fail(usageerror, path + ": " + std::strerror(errno), false);
  if (in != stdin) std::fclose(in);
  std::vector<bytes> recorded;
  if (const int bad = replaybatches(log, recorded); bad != 0) {
    fail(usageerror, path + ":" + std::to_string(bad) + ": not a line of the tool's output", false);
  }
  for (bytes& r : recorded) b.addbatch(std::move(r));
}

// The batches to send, from the inputs in the order given; the random ones
// come first from `rng`, then the exchange's noise.
std::vector<bytes> makebatches(const options& o, std::mt19937& rng) {
  batches b;
  b.group = o.group;
  for (const input& in : o.inputs) {
    char unknown = 0;
    if (in.kind == 't' && !typetext(b, unescape(in.arg), unknown)) {
      fail(usageerror, untypeable(unknown));
    }
    if (in.kind == 'c') typecodes(b, hexarg(in.arg, "codes"));
    if (in.kind == 'b') b.addbatch(hexarg(in.arg, "bytes"));
    const auto size = [&](const char* name) {
      return static_cast<std::size_t>(number(in.arg, name, 0, mostbytes));
    };
    if (in.kind == 'r') b.addbatch(randombytes(rng, size("random")));
    if (in.kind == 'm') b.addbatch(mangledframes(rng, size("mangled")));
    if (in.kind == 'R') replay(in.arg, b);
  }
  return b.list;
}

// The link and its lock file are removed, and a port's settings put back,
// even when a signal ends the run.
constexpr int endsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const line* served = nullptr;

sigset_t endset() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : endsignals) sigaddset(&set, sig);
  return set;
}

void onsignal(int sig) {
  portrestore(*served);
  if (!served->link.empty()) unlink(served->link.c_str());
  if (!served->lockpath.empty()) unlink(served->lockpath.c_str());
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr auto settle = 100ms;        // the count of unread bytes stays at 0 this long
constexpr int readlimitseconds = 10;  // the longest the tool is given to read the rest
constexpr auto readlimit = std::chrono::seconds(readlimitseconds);

// One run: the line, the command on it, and what goes out after the exchange.
struct session {
  const options& o;
  line l;
  std::FILE* log = nullptr;  // every byte sent after the exchange, when asked
  int logerror = 0;          // errno of a write to the log that failed
  command cmd;

  bool sendbatch(std::span<const std::uint8_t> b) {
    const pacing p{std::chrono::milliseconds(o.pacems), static_cast<std::size_t>(o.split), o.rate};
    if (velquin::sim::sendbatch(l, p, b, log)) return true;
    if (log != nullptr && std::ferror(log)) logerror = errno;
    return false;
  }

  // Types what comes on standard input until it ends, or the command does.
  int typestdin() {
    for (;;) {
      pollfd p{0, POLLIN, 0};
      if (cmd.reap(false)) return 0;
      if (poll(&p, 1, 50) == 0) continue;
      char buf[4096];
      const ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) return 0;
      batches b;
      b.group = o.group;
      char unknown = 0;
      const bool known = typetext(b, {buf, static_cast<std::size_t>(n)}, unknown);
      for (const bytes& batch : b.list) {
        if (!sendbatch(batch)) return 0;
      }
      if (!known) {
        std::fprintf(stderr, "%s: %s\n", me, untypeable(unknown).c_str());
        return usageerror;
      }
    }
  }

  // Plays the exchange until it is over or the command has ended.
  bool exchange(const answers& a) {
    std::atomic<bool> answered{false};
    std::atomic<bool> over{false};
    std::jthread receiver([&](std::stop_token stop) {
      answered = playexchange(l, a, std::chrono::hours(24 * 365), nullptr, stop);
      over = true;
    });
    while (!over && !cmd.reap(false)) std::this_thread::sleep_for(20ms);
    return answered;
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
        std::fprintf(stderr, "%s: %d bytes sent not read within %d s; hanging up\n", me, unread,
                     readlimitseconds);
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
  }

  // Hangs up, waits for the command and puts everything back. The signals
  // that end a run wait until it is done, and then find their default action.
  void end() {
    const sigset_t blocked = endset();
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    linehangup(l);
    if (log != nullptr && std::fclose(log) != 0 && logerror == 0) logerror = errno;
    log = nullptr;
    cmd.reap(true);
    lineclose(l);
    for (const int sig : endsignals) signal(sig, SIG_DFL);
    served = nullptr;
    sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  }
};

}  // namespace

int run(const options& o) {
  std::mt19937 rng(static_cast<unsigned>(o.seed));
  const std::vector<bytes> sendlist = makebatches(o, rng);
  answers a = noisyanswers(rng, static_cast<std::size_t>(o.noise), o.wrong, o.silent);
  a.gap = std::chrono::milliseconds(o.gapms);
  for (int i = 0; i < 3; ++i) a.from[i] = o.late[i] ? 1 : 0;
  session s{o, {}, nullptr, 0, {}};
  std::string err;
  // A signal while the line is being made waits until it can be undone.
  const sigset_t ending = endset();
  sigprocmask(SIG_BLOCK, &ending, nullptr);
  const bool opened =
      o.port.empty() ? lineopen(s.l, nullptr, o.link, err) : portopen(s.l, o.port, err);
  if (!opened) fail(1, err);
  served = &s.l;
  for (const int sig : endsignals) signal(sig, onsignal);
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Made only once the line is ready, and kept from the command.
  if (!o.log.empty() && (s.log = std::fopen(o.log.c_str(), "wbe")) == nullptr) {
    const int e = errno;
    s.end();
    fail(1, o.log + ": " + std::strerror(e));
  }
  if (!o.stale.empty()) linesend(s.l, o.stale);
  // The receiver's text comes from our standard input; the command gets none.
  if (!o.command.empty() && !s.cmd.start(o.command, o.inputs.empty(), err)) {
    std::fprintf(stderr, "%s: %s\n", me, err.c_str());
    s.end();
    return cannotrun;
  }

  int result = 0;
  if (s.exchange(a) && !s.cmd.ended) {
    for (const bytes& b : sendlist) {
      if (s.cmd.reap(false) || !s.sendbatch(b)) break;
    }
    if (o.inputs.empty() && s.logerror == 0) result = s.typestdin();
    // Sending stops at a failed log write, but what went out before it, up to
    // the exchange's last answer, still reaches the tool.
    s.waitread();
    if (s.logerror == 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.holdms));
  }
  s.end();
  if (s.logerror != 0) fail(1, o.log + ": " + std::strerror(s.logerror));
  return result != 0 || s.cmd.pid < 0 ? result : s.cmd.exitstatus();
}

}  // namespace velquin::sim
