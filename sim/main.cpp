// velquin-sim: plays a keyboard receiver on a pseudo-terminal so that the tool
// can be tried, and tested, before the hardware is on the desk.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

constexpr const char* me = "velquin-sim";
constexpr int usageerror = 2;
constexpr int cannotrun = 127;
// What the emulator can hold of random or mangled bytes: over four hours of a
// 9600 bps line.
constexpr int mostbytes = 1 << 24;

const char usage[] =
    "Usage: velquin-sim [OPTION]... LINK [COMMAND [ARGUMENT]...]\n"
    "  or:  velquin-sim --port=DEVICE [OPTION]... [COMMAND [ARGUMENT]...]\n"
    "Play a keyboard receiver on a new pseudo-terminal, with LINK a symbolic link\n"
    "to the port side, or on the serial device DEVICE. Answer the start-up\n"
    "exchange, then send what the input says, and hang up when it ends and the\n"
    "tool has read it all. With a COMMAND (the tool, built to open LINK), run it,\n"
    "wait for it and exit with its status.\n"
    "\n"
    "What to send after the exchange, in the order given (default: text read\n"
    "from standard input):\n"
    "  -t, --text=TEXT      type TEXT, every key press and release a frame of its\n"
    "                       own, Shift and Ctrl pressed around keys that need them;\n"
    "                       \\n, \\t, \\e, \\b and \\\\ stand for Enter, Tab, Esc,\n"
    "                       Backspace and a backslash\n"
    "  -c, --codes=HEX      send these scan codes, a frame a key event (F0 and E0\n"
    "                       share the frame of the code that follows them)\n"
    "  -b, --bytes=HEX      send these bytes as they are, as one batch\n"
    "  -r, --random=N       send N random bytes, 0 to 16777216\n"
    "  -m, --mangled=N      send N bytes of key frames, 0 to 16777216, about half\n"
    "                       of them with a byte lost, changed or doubled, or cut\n"
    "                       short\n"
    "      --replay=FILE    send the batches recorded in FILE, a log of the tool's\n"
    "                       output (- for standard input): every view line's raw\n"
    "                       bytes as one batch; other lines are skipped\n"
    "\n"
    "Pacing:\n"
    "  -p, --pace=MS        pause between batches, 0 to 600000 (default 100)\n"
    "  -g, --group=N        frames in a batch, 1 to 100000 (default 1)\n"
    "  -s, --split=N        cut every batch after its first N bytes, 1 to 100000\n"
    "      --rate=BPS       send at most BPS bits per second, 10 to 10000000, ten\n"
    "                       bits a byte, in slices of 10 ms, as a serial line\n"
    "                       delivers them\n"
    "      --hold=MS        keep the line up this long once the tool has read\n"
    "                       everything sent, 0 to 3600000 (default 500)\n"
    "      --log=FILE       write every byte sent after the exchange to FILE\n"
    "      --seed=N         seed the random bytes, 0 to 2147483647 (default: the\n"
    "                       same every run)\n"
    "\n"
    "      --port=DEVICE    play the receiver on this serial device (a USB adapter\n"
    "                       joined to the tool's port by a null-modem cable, a\n"
    "                       virtual machine's port), raw 9600 8N1, and put its\n"
    "                       settings back at the end\n"
    "\n"
    "The start-up exchange:\n"
    "      --silent         never send the responses (--noise is still sent)\n"
    "      --late=I         leave the first attempt of request I (0, 1 or 2)\n"
    "                       unanswered, so that the tool sends it again\n"
    "      --wrong          answer request 1 with FF 55 07 before its response\n"
    "      --noise=N        send N random bytes, 0 to 100000, in answer to every\n"
    "                       request, before its response\n"
    "      --stale=HEX      leave these bytes on the line before the exchange\n"
    "      --gap=MS         pause between the bytes of every answer, 0 to 10000\n"
    "\n"
    "  -h, --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "HEX is a list of byte values in hexadecimal: \"ff 15 ea\" or \"ff,15,ea\".\n"
    "Exit status: the COMMAND's; without one 0. 1 when the line cannot be made,\n"
    "LINK is served by another velquin-sim, the device cannot be used, the log\n"
    "cannot be opened or written, or this help cannot be written; then 1\n"
    "whatever the COMMAND's. 2 for a bad option, a character no key types, or a\n"
    "log to replay that cannot be read or holds a malformed view line. 127 when\n"
    "the COMMAND cannot be run.\n";

[[noreturn]] void fail(int status, const std::string& message, bool tryhelp = true) {
  std::fprintf(stderr, "%s: %s\n", me, message.c_str());
  if (status == usageerror && tryhelp) std::fprintf(stderr, "Try '%s --help'.\n", me);
  std::exit(status);
}

int number(const std::string& s, const char* option, int lo, int hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || s.empty() || *end != '\0' || v < lo || v > hi) {
    fail(usageerror, std::string("bad number for --") + option + ": '" + s + "'");
  }
  return static_cast<int>(v);
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

struct input {
  char kind;  // the short option: t, c, b, r or m; R for --replay
  std::string arg;
};

struct options {
  std::vector<input> inputs;  // what to send after the exchange, in the order given
  int pacems = 100;
  int group = 1;
  int split = 0;
  int rate = 0;
  int holdms = 500;
  int seed = 20240611;
  int noise = 0;
  int gapms = 0;
  bool late[3] = {};
  bool wrong = false;
  bool silent = false;
  bytes stale;
  std::string log;
  std::string port;
  std::string link;
  std::vector<std::string> command;
};

// clang-format off
enum { silent_ = 256, late_, wrong_, noise_, stale_, gap_, hold_, rate_, log_, seed_, replay_,
       version_, port_ };
// clang-format on

struct numeric {
  int key;
  const char* name;
  int lo;
  int hi;
  int options::*field;
};

// clang-format off
//  option    name      least  most        field
constexpr numeric numerics[] = {
    {'p',     "pace",   0,     600000,     &options::pacems},
    {'g',     "group",  1,     100000,     &options::group},
    {'s',     "split",  1,     100000,     &options::split},
    {rate_,   "rate",   10,    10000000,   &options::rate},
    {hold_,   "hold",   0,     3600000,    &options::holdms},
    {seed_,   "seed",   0,     2147483647, &options::seed},
    {noise_,  "noise",  0,     100000,     &options::noise},
    {gap_,    "gap",    0,     10000,      &options::gapms},
};

constexpr option longs[] = {
    {"text",   required_argument, nullptr, 't'},    {"codes",   required_argument, nullptr, 'c'},
    {"bytes",  required_argument, nullptr, 'b'},    {"random",  required_argument, nullptr, 'r'},
    {"mangled", required_argument, nullptr, 'm'},   {"pace",    required_argument, nullptr, 'p'},
    {"group",  required_argument, nullptr, 'g'},    {"split",   required_argument, nullptr, 's'},
    {"rate",   required_argument, nullptr, rate_},  {"hold",    required_argument, nullptr, hold_},
    {"log",    required_argument, nullptr, log_},   {"seed",    required_argument, nullptr, seed_},
    {"silent", no_argument,       nullptr, silent_}, {"late",   required_argument, nullptr, late_},
    {"wrong",  no_argument,       nullptr, wrong_}, {"noise",   required_argument, nullptr, noise_},
    {"stale",  required_argument, nullptr, stale_}, {"gap",     required_argument, nullptr, gap_},
    {"replay", required_argument, nullptr, replay_}, {"help",   no_argument,       nullptr, 'h'},
    {"version", no_argument,      nullptr, version_}, {"port",  required_argument, nullptr, port_},
    {nullptr,  0,                 nullptr, 0},
};
// clang-format on

// Reads the command line; touches nothing.
options parse(int argc, char** argv) {
  options o;
  opterr = 0;
  int c = 0;
  // '+': options end at LINK, so the command's own options are left alone;
  // ':': a missing value is told apart from an unknown option.
  while ((c = getopt_long(argc, argv, "+:t:c:b:r:m:p:g:s:h", longs, nullptr)) != -1) {
    const auto n = std::find_if(std::begin(numerics), std::end(numerics),
                                [c](const numeric& k) { return k.key == c; });
    if (n != std::end(numerics)) {
      o.*(n->field) = number(optarg, n->name, n->lo, n->hi);
    } else if ((c < 0x80 && std::strchr("tcbrm", c) != nullptr) || c == replay_) {
      o.inputs.push_back({static_cast<char>(c == replay_ ? 'R' : c), optarg});
    } else if (c == late_) {
      o.late[number(optarg, "late", 0, 2)] = true;
    } else if (c == stale_) {
      o.stale = hexarg(optarg, "stale");
    } else if (c == log_ || c == port_) {
      (c == log_ ? o.log : o.port) = optarg;
    } else if (c == silent_ || c == wrong_) {
      (c == silent_ ? o.silent : o.wrong) = true;
    } else if (c == 'h' || c == version_) {
      std::fputs(c == 'h' ? usage : "velquin-sim " VELQUIN_VERSION "\n", stdout);
      if (std::fflush(stdout) != 0) fail(1, std::string("write error: ") + std::strerror(errno));
      std::exit(0);
    } else {
      // A long option's value is not a character: name it as it was given.
      const bool shortopt = optopt > 0 && optopt < 0x80 && argv[optind - 1][1] != '-';
      const std::string bad =
          shortopt ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      fail(usageerror, "unknown option or missing value: " + bad);
    }
  }
  if (o.port.empty()) {
    if (optind >= argc) fail(usageerror, "missing LINK");
    o.link = argv[optind++];
  }
  o.command.assign(argv + optind, argv + argc);
  return o;
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

}  // namespace
}  // namespace velquin::sim

int main(int argc, char** argv) {
  return velquin::sim::run(velquin::sim::parse(argc, argv));
}
