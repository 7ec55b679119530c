#include "sim/program/options.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "sim/program/complain.h"

namespace velquin::sim {

const char usage[] =
    "Usage: velquin-sim [OPTION]... LINK [COMMAND [ARGUMENT]...]\n"
    "  or:  velquin-sim --port=DEVICE [OPTION]... [COMMAND [ARGUMENT]...]\n"
    "Play a keyboard receiver on a new pseudo-terminal, with LINK a symbolic link\n"
    "to the port side, or on the serial device DEVICE. Answer the start-up\n"
    "exchange, then send what the input says, and hang up when it ends and the\n"
    "tool has read it all. With a COMMAND (the tool, built to open LINK), run it,\n"
    "wait for it, end when it ends, and exit with its status.\n"
    "\n"
    "What to send after the exchange, in the order given (default: what is typed\n"
    "on standard input; at its terminal every key as it is pressed, Ctrl-D to end):\n"
    "  -t, --text=TEXT      type TEXT, every key press and release a frame of its\n"
    "                       own, Shift and Ctrl pressed around keys that need them;\n"
    "                       \\n or \\r, \\t, \\e, \\b and \\\\ stand for Enter, Tab,\n"
    "                       Esc, Backspace and a backslash; no other escape; a\n"
    "                       DEL is Backspace, an ESC Esc\n"
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
    "      --raw=FILE       send the bytes of FILE as they are (- for standard\n"
    "                       input), a --log or a logic analyser's capture, in\n"
    "                       batches of --split bytes at --rate\n"
    "      --keyboard=DEVICE  type on a real keyboard, an input device such as\n"
    "                       /dev/input/eventN: every key pressed and released as\n"
    "                       a PS/2 keyboard sends it, with its own repeat; the\n"
    "                       keyboard is grabbed while it types, and Left Shift +\n"
    "                       Right Shift + Esc ends it\n"
    "      --seed=N         seed the random bytes, 0 to 2147483647 (default: the\n"
    "                       same every run)\n"
    "\n"
    "Pacing:\n"
    "  -p, --pace=MS        pause from the end of a batch to the next, 0 to 600000\n"
    "                       (default 100, and 0 for --keyboard); none after the\n"
    "                       last\n"
    "  -g, --group=N        frames in a batch, 1 to 100000 (default 1, and a key\n"
    "                       event's for --keyboard)\n"
    "  -s, --split=N        cut every batch after its first N bytes, 1 to 100000;\n"
    "                       the size of --raw's batches (default 64)\n"
    "      --rate=BPS       send at most BPS bits per second, 10 to 10000000, ten\n"
    "                       bits a byte, in slices of 10 ms, as a serial line\n"
    "                       delivers them (default: no limit; 9600 for --raw)\n"
    "      --hold=MS        keep the line up this long once the tool has read\n"
    "                       everything sent, 0 to 3600000 (default 500)\n"
    "      --repeat=DELAY,PERIOD  --keyboard's repeat: a key held repeats after\n"
    "                       DELAY ms, 1 to 10000, then every PERIOD ms, 0 to\n"
    "                       10000, 0 for none (default 500,92)\n"
    "\n"
    "The line and the log:\n"
    "      --port=DEVICE    play the receiver on this serial device (a USB adapter\n"
    "                       joined to the tool's port by a null-modem cable, a\n"
    "                       virtual machine's port), raw 9600 8N1, and put its\n"
    "                       settings back at the end\n"
    "      --log=FILE       write every byte sent after the exchange to FILE\n"
    "\n"
    "The start-up exchange:\n"
    "      --silent         never send the responses (--noise is still sent)\n"
    "      --late=I         leave the first attempt of request I (0, 1 or 2)\n"
    "                       unanswered, so that the tool sends it again\n"
    "      --wrong          answer request 1 with FF 55 07 before its response\n"
    "      --noise=N        send N random bytes, 0 to 100000, in answer to every\n"
    "                       request, before its response\n"
    "      --stale=HEX      leave these bytes, at most 4096, on the line before the\n"
    "                       exchange\n"
    "      --gap=MS         pause between the bytes of every answer, 0 to 10000\n"
    "\n"
    "  -h, --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "HEX is a list of byte values in hexadecimal, separated by spaces, tabs or\n"
    "commas: \"ff 15 ea\" or \"ff,15,ea\".\n"
    "Exit status: the COMMAND's, 128+N when signal N ended it; without one 0.\n"
    "Status 1 when the line cannot be made, LINK is served by another velquin-sim\n"
    "or LINK.lock is not its lock file, the device cannot be used or fails, the\n"
    "COMMAND cannot be watched (no pidfd, or no descriptor left), no descriptor\n"
    "is left to watch the end signals with, the log cannot be opened or written\n"
    "or had bytes left unwritten when the COMMAND ended, standard input or the\n"
    "keyboard cannot be read, the keyboard is grabbed by another program, memory\n"
    "runs out, or this help or the version cannot be written; then 1 whatever the\n"
    "COMMAND's. Status 2 for a bad option (an empty name or an unknown escape\n"
    "among them), a character no key types (a NUL among them), a log that is the\n"
    "line, its lock file, a file to send or the typed standard input, a file to\n"
    "send or a typed standard input that is standard output or error, a file to\n"
    "send that cannot be read, a typed standard input that is a directory or not\n"
    "open for reading, a keyboard that cannot be opened (reading one takes root\n"
    "or the input group), is no input device or lacks Esc or either Shift, or a\n"
    "record that holds a malformed or overlong line or no view line. Status 127\n"
    "when the COMMAND cannot be run. An interrupt, termination, hang-up or quit,\n"
    "unless ignored when it started, ends it by that signal once it has put\n"
    "everything back.\n";

namespace {

// The keys of the options that have no short form.
enum : int {
  optsilent = 256,
  optlate,
  optwrong,
  optnoise,
  optstale,
  optgap,
  opthold,
  optrate,
  optlog,
  optseed,
  optreplay,
  optversion,
  optport,
  optraw,
  optkeyboard,
  optrepeat,
};

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
    {optrate,   "rate",   10,    10000000,   &options::rate},
    {opthold,   "hold",   0,     3600000,    &options::holdms},
    {optseed,   "seed",   0,     2147483647, &options::seed},
    {optnoise,  "noise",  0,     100000,     &options::noise},
    {optgap,    "gap",    0,     10000,      &options::gapms},
};

//  name        value              key
constexpr option longs[] = {
    {"text",    required_argument, nullptr, 't'},
    {"codes",   required_argument, nullptr, 'c'},
    {"bytes",   required_argument, nullptr, 'b'},
    {"random",  required_argument, nullptr, 'r'},
    {"mangled", required_argument, nullptr, 'm'},
    {"replay",  required_argument, nullptr, optreplay},
    {"raw",     required_argument, nullptr, optraw},
    {"keyboard", required_argument, nullptr, optkeyboard},
    {"seed",    required_argument, nullptr, optseed},
    {"pace",    required_argument, nullptr, 'p'},
    {"group",   required_argument, nullptr, 'g'},
    {"split",   required_argument, nullptr, 's'},
    {"rate",    required_argument, nullptr, optrate},
    {"hold",    required_argument, nullptr, opthold},
    {"repeat",  required_argument, nullptr, optrepeat},
    {"port",    required_argument, nullptr, optport},
    {"log",     required_argument, nullptr, optlog},
    {"silent",  no_argument,       nullptr, optsilent},
    {"late",    required_argument, nullptr, optlate},
    {"wrong",   no_argument,       nullptr, optwrong},
    {"noise",   required_argument, nullptr, optnoise},
    {"stale",   required_argument, nullptr, optstale},
    {"gap",     required_argument, nullptr, optgap},
    {"help",    no_argument,       nullptr, 'h'},
    {"version", no_argument,       nullptr, optversion},
    {nullptr,   0,                 nullptr, 0},
};
// clang-format on

// What the emulator can hold of random or mangled bytes: over four hours of a
// 9600 bps line.
constexpr int mostbytes = 1 << 24;
constexpr std::size_t moststale = 4096;

// Decimal digits alone: no sign, no space.
bool number(const std::string& s, const char* option, int lo, int hi, int& v, std::string& error) {
  unsigned long n = 0;
  const char* end = s.data() + s.size();
  const auto [stop, ec] = std::from_chars(s.data(), end, n);
  if (ec != std::errc() || stop != end || n < static_cast<unsigned long>(lo) ||
      n > static_cast<unsigned long>(hi)) {
    error = std::string("bad number for --") + option + ": '" + s + "'";
    return false;
  }
  v = static_cast<int>(n);
  return true;
}

bool hexarg(const std::string& s, const char* option, bytes& b, std::string& error) {
  if (hexbytes(s, b)) return true;
  error = std::string("bad byte list for --") + option + ": '" + s + "'";
  return false;
}

// clang-format off
//  option      what it sends
constexpr std::pair<int, source> sources[] = {
    {'t',       source::text},
    {'c',       source::codes},
    {'b',       source::hex},
    {'r',       source::random},
    {'m',       source::mangled},
    {optreplay, source::replay},
    {optraw,    source::raw},
    {optkeyboard, source::keyboard},
};
// clang-format on

// "DELAY,PERIOD" in milliseconds.
bool repeatarg(const std::string& s, options& o, std::string& error) {
  const std::size_t comma = s.find(',');
  if (comma != std::string::npos &&
      number(s.substr(0, comma), "repeat", 1, 10000, o.repeatdelayms, error) &&
      number(s.substr(comma + 1), "repeat", 0, 10000, o.repeatperiodms, error)) {
    return true;
  }
  error = "bad delay and period for --repeat: '" + s + "'";
  return false;
}

bool named(const std::string& name, const char* what, std::string& error) {
  if (name.empty()) error = std::string("empty name for ") + what;
  return !name.empty();
}

// Checks an input's value, and keeps what it stands for.
bool checkinput(input& in, std::string& error) {
  switch (in.from) {
    case source::text: {
      if (!unescape(in.arg, in.text)) {
        error = "bad escape for --text: '" + in.text + "'";
        return false;
      }
      for (const char c : in.text) {
        std::vector<bytes> events;
        if (!keyevents(c, events)) {
          error = untypeable(c);
          return false;
        }
      }
      return true;
    }
    case source::codes:
      return hexarg(in.arg, "codes", in.data, error);
    case source::hex:
      return hexarg(in.arg, "bytes", in.data, error);
    case source::random:
    case source::mangled: {
      int n = 0;
      const char* name = in.from == source::random ? "random" : "mangled";
      const bool good = number(in.arg, name, 0, mostbytes, n, error);
      in.size = static_cast<std::size_t>(n);
      return good;
    }
    case source::replay:
      return named(in.arg, "--replay", error);
    case source::raw:
      return named(in.arg, "--raw", error);
    case source::keyboard:
      return named(in.arg, "--keyboard", error);
  }
  return true;
}

}  // namespace

std::span<const option> longoptions() {
  return {longs, std::size(longs) - 1};
}

namespace {

// Takes option `c` with its value `arg`, or names it as given in `word`, the
// argument it came in; false for a bad one, with the error in `p`.
bool take(int c, const char* arg, const char* word, parsed& p) {
  options& o = p.opts;
  const auto n = std::find_if(std::begin(numerics), std::end(numerics),
                              [c](const numeric& k) { return k.key == c; });
  const auto from = std::find_if(std::begin(sources), std::end(sources),
                                 [c](const auto& k) { return k.first == c; });
  o.pacegiven = o.pacegiven || c == 'p';
  o.groupgiven = o.groupgiven || c == 'g';
  if (n != std::end(numerics)) return number(arg, n->name, n->lo, n->hi, o.*(n->field), p.error);
  if (from != std::end(sources)) {
    o.inputs.push_back({from->second, arg, {}, {}, 0});
    return checkinput(o.inputs.back(), p.error);
  }
  int i = 0;
  switch (c) {
    case optlate:
      if (!number(arg, "late", 0, 2, i, p.error)) return false;
      o.late[i] = true;
      return true;
    case optstale:
      if (!hexarg(arg, "stale", o.stale, p.error)) return false;
      // No more than a line holds before anyone reads it.
      if (o.stale.size() > moststale) p.error = "more than 4096 bytes for --stale";
      return o.stale.size() <= moststale;
    case optlog:
      return named(o.log = arg, "--log", p.error);
    case optrepeat:
      o.repeatgiven = true;
      return repeatarg(arg, o, p.error);
    case optport:
      return named(o.port = arg, "--port", p.error);
    case optsilent:
    case optwrong:
      (c == optsilent ? o.silent : o.wrong) = true;
      return true;
    default: {
      // A long option's key is not its name: name it as it was given.
      const bool shortopt = word[1] != '-';
      const std::string bad = shortopt ? std::string("-") + static_cast<char>(optopt) : word;
      p.error = "unknown option or missing value: " + bad;
      return false;
    }
  }
}

}  // namespace

parsed parse(int argc, char** argv) {
  parsed p;
  // 0, not 1: getopt forgets a group of short options an earlier parse left
  // half read.
  optind = 0;
  int c = 0;
  // '+': options end at LINK, so the command's own options are left alone,
  // and every option is in the argument at `optind` before getopt reads it,
  // or in a group of short ones that it is inside; ':': a missing value is
  // told apart from an unknown option, and getopt says nothing itself.
  for (int word = 1; (c = getopt_long(argc, argv, "+:t:c:b:r:m:p:g:s:h", longs, nullptr)) != -1;
       word = optind) {
    if (c == 'h' || c == optversion) {
      p.what = c == 'h' ? asked::help : asked::version;
      return p;
    }
    if (!take(c, optarg, argv[word], p)) return p;
  }
  options& o = p.opts;
  if (o.port.empty()) {
    if (optind >= argc) {
      p.error = "missing LINK";
      return p;
    }
    o.link = argv[optind++];
    if (o.link.empty()) {
      p.error = "empty LINK";
      return p;
    }
  }
  o.command.assign(argv + optind, argv + argc);
  const auto keyboard = [](const input& in) { return in.from == source::keyboard; };
  if (o.repeatgiven && std::none_of(o.inputs.begin(), o.inputs.end(), keyboard)) {
    p.error = "--repeat without --keyboard";
  }
  return p;
}

}  // namespace velquin::sim
