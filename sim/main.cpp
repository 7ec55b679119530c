// velquin-sim: plays a keyboard receiver on a pseudo-terminal so that the tool
// can be tried, and tested, before the hardware is on the desk.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

extern char** environ;

namespace velquin::sim {
namespace {

using namespace std::chrono_literals;

constexpr const char* me = "velquin-sim";
constexpr int usageerror = 2;

const char usage[] =
    "Usage: velquin-sim [OPTION]... LINK [COMMAND [ARGUMENT]...]\n"
    "Play a keyboard receiver on a new pseudo-terminal, with LINK a symbolic link\n"
    "to the port side. Answer the start-up exchange, then send what the input\n"
    "says, and hang up when it ends. With a COMMAND (the tool, built to open\n"
    "LINK), run it, wait for it and exit with its status.\n"
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
    "\n"
    "HEX is a list of byte values in hexadecimal: \"ff 15 ea\" or \"ff,15,ea\".\n"
    "Exit status: the COMMAND's; without one 0; 1 when the line cannot be made;\n"
    "2 for a bad option or a character no key types.\n";

[[noreturn]] void fail(int status, const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s%s\n", me, what, detail.c_str());
  if (status == usageerror) std::fprintf(stderr, "Try '%s --help'.\n", me);
  std::exit(status);
}

int number(const char* s, const char* option, int lo, int hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) {
    fail(usageerror, "bad number for --", std::string(option) + ": '" + s + "'");
  }
  return static_cast<int>(v);
}

bytes hexbytes(const char* s, const char* option) {
  bytes out;
  const std::string text = s;
  std::size_t k = 0;
  while (k < text.size()) {
    if (text[k] == ' ' || text[k] == ',' || text[k] == '\t') {
      ++k;
      continue;
    }
    std::size_t used = 0;
    unsigned long v = 0;
    try {
      v = std::stoul(text.substr(k, 4), &used, 16);
    } catch (...) {
      used = 0;
    }
    const std::size_t next = k + used;
    if (used == 0 || v > 0xFF ||
        (next < text.size() && text[next] != ' ' && text[next] != ',' && text[next] != '\t')) {
      fail(usageerror, "bad byte list for --", std::string(option) + ": '" + s + "'");
    }
    out.push_back(static_cast<std::uint8_t>(v));
    k = next;
  }
  return out;
}

// Turns C-style escapes into the characters they stand for.
std::string unescape(const char* s) {
  std::string out;
  for (const char* p = s; *p != '\0'; ++p) {
    if (*p != '\\' || p[1] == '\0') {
      out += *p;
      continue;
    }
    switch (*++p) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'e':
        out += '\x1b';
        break;
      case 'b':
        out += '\b';
        break;
      default:
        out += *p;
        break;
    }
  }
  return out;
}

struct options {
  std::vector<bytes> batches;  // from the command line, in order
  bool fromstdin = true;
  int pacems = 100;
  int group = 1;
  int split = 0;
  int rate = 0;
  int holdms = 500;
  answers exchange;
  bytes stale;
  int noise = 0;
  bool wrong = false;
  bool respond = true;
  std::string link;
  std::vector<std::string> command;
};

std::mt19937 noisesource(20240611u);
std::FILE* sentlog = nullptr;  // every byte sent after the exchange, when asked

std::uint8_t randombyte() {
  return static_cast<std::uint8_t>(noisesource());
}

std::size_t randomat(std::size_t size) {
  return noisesource() % size;
}

bytes randombytes(int n) {
  bytes b(static_cast<std::size_t>(n));
  for (auto& x : b) x = randombyte();
  return b;
}

// Key frames as a noisy line garbles them: in about half of them a byte is
// lost, changed or doubled, or the frame is cut short.
bytes mangledframes(int n) {
  bytes out;
  while (out.size() < static_cast<std::size_t>(n)) {
    std::vector<bytes> events;
    keyevents(static_cast<char>(0x20 + noisesource() % 95), events);
    for (const bytes& e : events) {
      bytes f = frame(e);
      const auto at = static_cast<long>(randomat(f.size()));
      switch (noisesource() % 8) {
        case 0:
          f.erase(f.begin() + at);
          break;
        case 1:
          f[static_cast<std::size_t>(at)] = randombyte();
          break;
        case 2:
          f.insert(f.begin() + at, f[static_cast<std::size_t>(at)]);
          break;
        case 3:
          f.resize(1 + randomat(f.size() - 1));
          break;
        default:
          break;
      }
      out.insert(out.end(), f.begin(), f.end());
    }
  }
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Frames for the characters of `text`, gathered `group` to a batch.
bool typebatches(const std::string& text, int group, std::vector<bytes>& batches, char& unknown) {
  int inbatch = 0;
  for (const char c : text) {
    std::vector<bytes> events;
    if (!keyevents(c, events)) {
      unknown = c;
      return false;
    }
    for (const bytes& e : events) {
      const bytes f = frame(e);
      if (inbatch == 0) batches.emplace_back();
      batches.back().insert(batches.back().end(), f.begin(), f.end());
      inbatch = (inbatch + 1) % group;
    }
  }
  return true;
}

void codebatches(const bytes& codes, int group, std::vector<bytes>& batches) {
  int inbatch = 0;
  bytes event;
  for (const std::uint8_t c : codes) {
    event.push_back(c);
    if (c == 0xF0 || c == 0xE0) continue;  // a prefix shares its key's frame
    const bytes f = frame(event);
    event.clear();
    if (inbatch == 0) batches.emplace_back();
    batches.back().insert(batches.back().end(), f.begin(), f.end());
    inbatch = (inbatch + 1) % group;
  }
  if (!event.empty()) batches.push_back(frame(event));
}

options parse(int argc, char** argv) {
  enum { silent_ = 256, late_, wrong_, noise_, stale_, gap_, hold_, rate_, log_, seed_ };
  const option longs[] = {
      {"text", required_argument, nullptr, 't'},     {"codes", required_argument, nullptr, 'c'},
      {"bytes", required_argument, nullptr, 'b'},    {"random", required_argument, nullptr, 'r'},
      {"mangled", required_argument, nullptr, 'm'},  {"log", required_argument, nullptr, log_},
      {"seed", required_argument, nullptr, seed_},   {"pace", required_argument, nullptr, 'p'},
      {"group", required_argument, nullptr, 'g'},    {"split", required_argument, nullptr, 's'},
      {"rate", required_argument, nullptr, rate_},   {"hold", required_argument, nullptr, hold_},
      {"silent", no_argument, nullptr, silent_},     {"late", required_argument, nullptr, late_},
      {"wrong", no_argument, nullptr, wrong_},       {"noise", required_argument, nullptr, noise_},
      {"stale", required_argument, nullptr, stale_}, {"gap", required_argument, nullptr, gap_},
      {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
  };
  options o;
  // Inputs keep their order, but grouping applies to all: note them first.
  struct input {
    int kind;
    std::string arg;
  };
  std::vector<input> inputs;
  opterr = 0;
  int c = 0;
  // '+': options end at LINK, so the command's own options are left alone.
  while ((c = getopt_long(argc, argv, "+t:c:b:r:m:p:g:s:h", longs, nullptr)) != -1) {
    switch (c) {
      case 't':
      case 'c':
      case 'b':
      case 'r':
      case 'm':
        inputs.push_back({c, optarg});
        break;
      case 'p':
        o.pacems = number(optarg, "pace", 0, 600000);
        break;
      case 'g':
        o.group = number(optarg, "group", 1, 100000);
        break;
      case 's':
        o.split = number(optarg, "split", 1, 100000);
        break;
      case rate_:
        o.rate = number(optarg, "rate", 10, 10000000);
        break;
      case hold_:
        o.holdms = number(optarg, "hold", 0, 3600000);
        break;
      case silent_:
        o.respond = false;
        break;
      case late_:
        o.exchange.from[number(optarg, "late", 0, 2)] = 1;
        break;
      case wrong_:
        o.wrong = true;
        break;
      case noise_:
        o.noise = number(optarg, "noise", 0, 100000);
        break;
      case stale_:
        o.stale = hexbytes(optarg, "stale");
        break;
      case gap_:
        o.exchange.gap = std::chrono::milliseconds(number(optarg, "gap", 0, 10000));
        break;
      case log_:
        sentlog = std::fopen(optarg, "wb");
        if (sentlog == nullptr) fail(1, "", std::string(optarg) + ": " + std::strerror(errno));
        break;
      case seed_:
        noisesource.seed(static_cast<unsigned>(number(optarg, "seed", 0, 2147483647)));
        break;
      case 'h':
        std::fputs(usage, stdout);
        std::exit(0);
      case '?':
      default: {
        const std::string bad =
            optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
        fail(usageerror, "unknown option or missing value: ", bad);
      }
    }
  }
  if (optind >= argc) fail(usageerror, "missing LINK", "");
  o.link = argv[optind];
  for (int k = optind + 1; k < argc; ++k) o.command.emplace_back(argv[k]);

  for (const input& in : inputs) {
    o.fromstdin = false;
    switch (in.kind) {
      case 't': {
        char unknown = 0;
        if (!typebatches(unescape(in.arg.c_str()), o.group, o.batches, unknown)) {
          char detail[8];
          std::snprintf(detail, sizeof detail, "0x%02x", static_cast<unsigned char>(unknown));
          fail(usageerror, "no key types the character ", detail);
        }
        break;
      }
      case 'c':
        codebatches(hexbytes(in.arg.c_str(), "codes"), o.group, o.batches);
        break;
      case 'b':
        o.batches.push_back(hexbytes(in.arg.c_str(), "bytes"));
        break;
      case 'r':
        o.batches.push_back(randombytes(number(in.arg.c_str(), "random", 0, 1 << 30)));
        break;
      case 'm':
        o.batches.push_back(mangledframes(number(in.arg.c_str(), "mangled", 0, 1 << 30)));
        break;
    }
  }
  for (int i = 0; i < 3; ++i) {
    bytes reply = randombytes(o.noise);
    if (o.wrong && i == 1) reply.insert(reply.end(), {0xFF, 0x55, 0x07});
    if (o.respond) {
      const auto r = response(i);
      reply.insert(reply.end(), r.begin(), r.end());
    }
    o.exchange.reply[i] = reply;
  }
  return o;
}

// The link is removed even when an interrupt ends the run.
char linkpath[4096];

void onsignal(int sig) {
  if (linkpath[0] != '\0') unlink(linkpath);
  signal(sig, SIG_DFL);
  raise(sig);
}

pid_t startcommand(const std::vector<std::string>& command, bool quietstdin) {
  std::vector<char*> argv;
  std::vector<std::string> words = command;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The receiver's text comes from our standard input; the command gets none.
  if (quietstdin) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    std::fprintf(stderr, "%s: cannot run %s: %s\n", me, argv[0], std::strerror(err));
    return -1;
  }
  return pid;
}

int exitstatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Sends bytes no faster than `rate` bits per second allows (no limit at 0).
bool sendlogged(line& l, std::span<const std::uint8_t> b) {
  if (!linesend(l, b)) return false;
  if (sentlog != nullptr) std::fwrite(b.data(), 1, b.size(), sentlog);
  return true;
}

bool sendpaced(line& l, int rate, std::span<const std::uint8_t> b) {
  if (rate == 0) return sendlogged(l, b);
  // Ten bits a byte (start, eight data bits, stop), sent in 10 ms slices.
  const std::size_t perslice = std::max<std::size_t>(1, static_cast<std::size_t>(rate) / 1000);
  auto next = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < b.size(); k += perslice) {
    if (!sendlogged(l, b.subspan(k, std::min(perslice, b.size() - k)))) return false;
    next += 10ms;
    std::this_thread::sleep_until(next);
  }
  return true;
}

// Sends one batch, cut after its first `split` bytes when asked, then pauses.
bool sendbatch(line& l, const options& o, std::span<const std::uint8_t> b) {
  const auto pause = std::chrono::milliseconds(o.pacems);
  if (o.split > 0 && b.size() > static_cast<std::size_t>(o.split)) {
    const auto n = static_cast<std::size_t>(o.split);
    if (!sendpaced(l, o.rate, b.first(n))) return false;
    std::this_thread::sleep_for(pause);
    b = b.subspan(n);
  }
  const bool sent = sendpaced(l, o.rate, b);
  std::this_thread::sleep_for(pause);
  return sent;
}

}  // namespace
}  // namespace velquin::sim

int main(int argc, char** argv) {
  using namespace velquin::sim;
  options o = parse(argc, argv);

  line l;
  std::string err;
  if (!lineopen(l, nullptr, o.link, err)) fail(1, "", err);
  std::snprintf(linkpath, sizeof linkpath, "%s", o.link.c_str());
  signal(SIGINT, onsignal);
  signal(SIGTERM, onsignal);
  signal(SIGHUP, onsignal);
  signal(SIGPIPE, SIG_IGN);
  if (!o.stale.empty()) linesend(l, o.stale);

  pid_t pid = -1;
  if (!o.command.empty()) {
    pid = startcommand(o.command, o.fromstdin);
    if (pid < 0) {
      lineclose(l);
      return 127;
    }
  }
  int status = 0;
  bool ended = false;
  const auto reap = [&](int flags) {
    if (pid < 0 || ended) return ended;
    if (waitpid(pid, &status, flags) == pid) ended = true;
    return ended;
  };

  std::atomic<bool> answered{false};
  std::atomic<bool> over{false};
  {
    std::jthread receiver([&](std::stop_token stop) {
      answered = playexchange(l, o.exchange, std::chrono::hours(24 * 365), nullptr, stop);
      over = true;
    });
    while (!over && !reap(WNOHANG)) std::this_thread::sleep_for(20ms);
  }

  int result = 0;
  if (answered && !ended) {
    bool sent = true;
    for (const bytes& b : o.batches) {
      if (!sent || reap(WNOHANG)) break;
      sent = sendbatch(l, o, b);
    }
    if (o.fromstdin) {
      char buf[4096];
      ssize_t n = 0;
      while (sent && !reap(WNOHANG) && (n = read(0, buf, sizeof buf)) > 0) {
        std::vector<bytes> batches;
        char unknown = 0;
        const bool known =
            typebatches(std::string(buf, static_cast<std::size_t>(n)), o.group, batches, unknown);
        for (const bytes& b : batches) {
          sent = sent && sendbatch(l, o, b);
        }
        if (!known) {
          std::fprintf(stderr, "%s: no key types the character 0x%02x\n", me,
                       static_cast<unsigned char>(unknown));
          result = usageerror;
          break;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(o.holdms));
  }
  linehangup(l);
  if (sentlog != nullptr) std::fclose(sentlog);
  reap(0);
  lineclose(l);
  if (result != 0) return result;
  return pid < 0 ? 0 : exitstatus(status);
}
