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

const char usage[] =
    "Usage: velquin-sim [OPTION]... LINK [COMMAND [ARGUMENT]...]\n"
    "  or:  velquin-sim --port=DEVICE [OPTION]... [COMMAND [ARGUMENT]...]\n"
    "Play a keyboard receiver on a new pseudo-terminal, with LINK a symbolic link\n"
    "to the port side, or on the serial device DEVICE. Answer the start-up\n"
    "exchange, then send what the input says, and hang up when it ends. With a\n"
    "COMMAND (the tool, built to open LINK), run it, wait for it and exit with\n"
    "its status.\n"
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
    "  -r, --random=N       send N random bytes\n"
    "  -m, --mangled=N      send N bytes of key frames, about half of them with a\n"
    "                       byte lost, changed or doubled, or cut short\n"
    "      --replay=FILE    send the batches recorded in FILE, a log of the tool's\n"
    "                       output (- for standard input): every view line's raw\n"
    "                       bytes as one batch; other lines are skipped\n"
    "\n"
    "Pacing:\n"
    "  -p, --pace=MS        pause between batches (default 100)\n"
    "  -g, --group=N        frames in a batch (default 1)\n"
    "  -s, --split=N        cut every batch after its first N bytes\n"
    "      --rate=BPS       send at most BPS bits per second, ten bits a byte, in\n"
    "                       slices of 10 ms, as a serial line delivers them\n"
    "      --hold=MS        keep the line up this long after the input (default 500)\n"
    "      --log=FILE       write every byte sent after the exchange to FILE\n"
    "      --seed=N         seed the random bytes (default: the same every run)\n"
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
    "      --noise=N        send N random bytes in answer to every request,\n"
    "                       before its response\n"
    "      --stale=HEX      leave these bytes on the line before the exchange\n"
    "      --gap=MS         pause between the bytes of every answer\n"
    "\n"
    "  -h, --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "HEX is a list of byte values in hexadecimal: \"ff 15 ea\" or \"ff,15,ea\".\n"
    "Exit status: the COMMAND's; without one 0; 1 when the line cannot be made or\n"
    "the device used; 2 for a bad option, a character no key types, or a log to\n"
    "replay that cannot be read or holds a malformed view line.\n";

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
  // '+': options end at LINK, so the command's own options are left alone.
  while ((c = getopt_long(argc, argv, "+t:c:b:r:m:p:g:s:h", longs, nullptr)) != -1) {
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
      std::exit(0);
    } else {
      const std::string bad =
          optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
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
      return static_cast<std::size_t>(number(in.arg, name, 0, 1 << 30));
    };
    if (in.kind == 'r') b.addbatch(randombytes(rng, size("random")));
    if (in.kind == 'm') b.addbatch(mangledframes(rng, size("mangled")));
    if (in.kind == 'R') replay(in.arg, b);
  }
  return b.list;
}

// The link is removed, and a port's settings put back, even when an interrupt
// ends the run.
char linkpath[4096];
const line* served = nullptr;

void onsignal(int sig) {
  if (linkpath[0] != '\0') unlink(linkpath);
  if (served != nullptr && served->port) tcsetattr(served->master, TCSANOW, &served->saved);
  signal(sig, SIG_DFL);
  raise(sig);
}

// One run: the line, the command on it, and what goes out after the exchange.
struct session {
  const options& o;
  line l;
  std::FILE* log = nullptr;  // every byte sent after the exchange, when asked
  command cmd;

  bool sendbatch(std::span<const std::uint8_t> b) {
    const pacing p{std::chrono::milliseconds(o.pacems), static_cast<std::size_t>(o.split), o.rate};
    return velquin::sim::sendbatch(l, p, b, log);
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
};

int run(const options& o) {
  std::mt19937 rng(static_cast<unsigned>(o.seed));
  const std::vector<bytes> sendlist = makebatches(o, rng);
  answers a = noisyanswers(rng, static_cast<std::size_t>(o.noise), o.wrong, o.silent);
  a.gap = std::chrono::milliseconds(o.gapms);
  for (int i = 0; i < 3; ++i) a.from[i] = o.late[i] ? 1 : 0;
  session s{o, {}, nullptr, {}};
  if (!o.log.empty() && (s.log = std::fopen(o.log.c_str(), "wb")) == nullptr) {
    fail(1, o.log + ": " + std::strerror(errno));
  }
  std::string err;
  const bool opened =
      o.port.empty() ? lineopen(s.l, nullptr, o.link, err) : portopen(s.l, o.port, err);
  if (!opened) fail(1, err);
  std::snprintf(linkpath, sizeof linkpath, "%s", o.link.c_str());
  served = &s.l;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, onsignal);
  signal(SIGPIPE, SIG_IGN);
  if (!o.stale.empty()) linesend(s.l, o.stale);
  // The receiver's text comes from our standard input; the command gets none.
  if (!o.command.empty() && !s.cmd.start(o.command, o.inputs.empty(), err)) {
    std::fprintf(stderr, "%s: %s\n", me, err.c_str());
    lineclose(s.l);
    return 127;
  }

  int result = 0;
  if (s.exchange(a) && !s.cmd.ended) {
    for (const bytes& b : sendlist) {
      if (s.cmd.reap(false) || !s.sendbatch(b)) break;
    }
    if (o.inputs.empty()) result = s.typestdin();
    std::this_thread::sleep_for(std::chrono::milliseconds(o.holdms));
  }
  linehangup(s.l);
  if (s.log != nullptr) std::fclose(s.log);
  s.cmd.reap(true);
  lineclose(s.l);
  return result != 0 || s.cmd.pid < 0 ? result : s.cmd.exitstatus();
}

}  // namespace
}  // namespace velquin::sim

int main(int argc, char** argv) {
  return velquin::sim::run(velquin::sim::parse(argc, argv));
}
