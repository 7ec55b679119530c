// The receiver emulator's parts, run in-process: what its inputs make, how it
// reads records and options, and how a send and the exchange end.
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstring>

#include "sim/program/complain.h"
#include "sim/program/evdev.h"
#include "sim/program/inputs.h"
#include "sim/program/options.h"
#include "sim/program/records.h"
#include "sim/receiver/keycodes.h"
#include "sim/receiver/send.h"
#include "support.h"

namespace velquin::test {
namespace {

using clock = std::chrono::steady_clock;

// What an input makes, its batches as "ff 12 ed | ff 1c e3 ..." for reading
// in a table.
struct collected {
  std::string shown;
  bytes batch;
  const sim::sink sink = [this](std::span<const std::uint8_t> piece, bool last) {
    batch.insert(batch.end(), piece.begin(), piece.end());
    if (last) {
      shown += (shown.empty() ? "" : "| ") + hex(batch);
      batch.clear();
    }
    return true;
  };
};

TEST(EmulatorInput, GroupsFramesIntoBatches) {
  struct Case {
    const char* name;
    int group;
    // c: codes, b: a batch, t: text, p: text from a pipe, a read a character
    std::vector<std::pair<char, std::string>> steps;
    const char* batches;
  };
  const Case cases[] = {
      {"a key a frame", 1, {{'c', "15 f0 15"}}, "ff 15 ea | ff f0 0f 15 ea "},
      {"three frames a batch",
       3,
       {{'t', "A"}},
       "ff 12 ed ff 1c e3 ff f0 0f 1c e3 | ff f0 0f 12 ed "},
      {"a raw batch stands alone",
       2,
       {{'c', "15"}, {'b', "40"}, {'c', "1c 29"}},
       "ff 15 ea | 40 | ff 1c e3 ff 29 d6 "},
      {"text after codes begins a batch",
       2,
       {{'c', "15"}, {'t', "a"}},
       "ff 15 ea | ff 1c e3 ff f0 0f 1c e3 "},
      {"control keys alone",
       4,
       {{'t', "\n\t\b\x1b"}},
       "ff 5a a5 ff f0 0f 5a a5 ff 0d f2 ff f0 0f 0d f2 | ff 66 99 ff f0 0f 66 99 ff 76 89 "
       "ff f0 0f 76 89 "},
      {"a Ctrl-letter, Ctrl held around it",
       4,
       {{'t', "\x01"}},
       "ff 14 eb ff 1c e3 ff f0 0f 1c e3 ff f0 0f 14 eb "},
      {"prefixes share the next frame; one cut short",
       4,
       {{'c', "e0 14 e0 f0 14 f0"}},
       "ff e0 1f 14 eb ff e0 1f f0 0f 14 eb | ff f0 0f "},
      {"from a pipe, counted across reads",
       3,
       {{'p', "ab"}},
       "ff 1c e3 ff f0 0f 1c e3 ff 32 cd | ff f0 0f 32 cd "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    collected made;
    for (const auto& [kind, arg] : c.steps) {
      bytes hexes;
      if (kind == 't') {
        sim::gatherer g{made.sink, c.group};
        ASSERT_EQ(sim::typetext(arg, g), arg.size());
        g.flush();
      }
      if (kind == 'p') {
        int p[2];
        ASSERT_EQ(pipe2(p, O_DIRECT | O_CLOEXEC), 0);
        for (const char ch : arg) ASSERT_EQ(write(p[1], &ch, 1), 1);
        close(p[1]);
        EXPECT_EQ(sim::typefrom(p[0], c.group, -1, made.sink, false), 0);
        close(p[0]);
      }
      if (kind == 'c' || kind == 'b') {
        ASSERT_TRUE(sim::hexbytes(arg, hexes));
      }
      if (kind == 'c') sim::typecodes(hexes, c.group, made.sink);
      if (kind == 'b') made.sink(hexes, true);
    }
    EXPECT_EQ(made.shown, c.batches);
  }
}

TEST(EmulatorInput, ReadsHexAndEscapes) {
  const std::pair<const char*, const char*> hexes[] = {
      {"ff 15,ea\t0", "ff 15 ea 00 "}, {"", ""},       {"100", nullptr}, {"1g", nullptr},
      {"ff,,  15", "ff 15 "},          {"-1", nullptr}};
  for (const auto& [in, out] : hexes) {
    bytes b;
    EXPECT_EQ(sim::hexbytes(in, b), out != nullptr) << in;
    if (out != nullptr) {
      EXPECT_EQ(hex(b), out) << in;
    }
  }
  const std::pair<const char*, const char*> escapes[] = {
      {"a\\n\\t\\e\\b\\r\\\\", "a\n\t\x1b\b\r\\"}, {"a\\q", nullptr}, {"a\\", nullptr}};
  for (const auto& [in, out] : escapes) {
    std::string text;
    EXPECT_EQ(sim::unescape(in, text), out != nullptr) << in;
    if (out != nullptr) {
      EXPECT_EQ(text, out) << in;
    }
  }
}

TEST(EmulatorInput, ReadsTheBatchesOfALogAndNamesTheFirstBadLine) {
  struct Case {
    std::string log;
    const char* problem;  // with the record named "r"
    const char* batches;
  };
  const std::string none = "r: no line of the tool's output";
  const std::string bad2 = "r:2: not a line of the tool's output";
  // As long as a row may be, newline included, and a byte longer.
  const std::string longest = std::string(sim::longestrow - 5, 'x') + " =ff\n";
  const Case cases[] = {
      {"sending init string #0\nOk\n=ff =15 =ea #15 >71 'q'\n=ff =15 \nunknown keycode e0\n", "",
       "ff 15 ea | ff 15 "},
      {"Ok\r\n=ff =5a =a5 #5a >0d '\\015'\r\n=5c #5c >5c '\\'", "", "ff 5a a5 | 5c "},
      {"x = 5\n1765195200.123456 =ff =15 =ea #15 >71 'q'\n", "", "ff 15 ea "},
      {"Ok\n=ff =15 =ea #15 >71 'Q'\n", bad2.c_str(), ""},
      {"=ff \n=FF =1C =E3 #1C >61 'a'\n", bad2.c_str(), "ff "},
      {"=ff \n=ff\t=1c\t=e3\t#1c\t>61 'a'\n", bad2.c_str(), "ff "},
      {"x\n\n=ff =1\n", "r:3: not a line of the tool's output", ""},
      {"=ff =15=ea \n", "r:1: not a line of the tool's output", ""},
      {"=ff=1c=e3#1c>61'a'\n", "r:1: not a line of the tool's output", ""},
      {"=ff =15 =ea #15 >71 'q'\nexit=01\n", "", "ff 15 ea "},
      {"t=1.5 =ff =33 =cc #33 >68 'h'\n", "", "ff 33 cc "},
      {"=ff =15\n=ff =12 =ed #12\n=ff\n", "", "ff 15 | ff 12 ed | ff "},
      {"     1\tOk\n     2\t=ff =12 =ed #12 \n", "", "ff 12 ed "},
      {"x:=ff =12 =ed #12 \n", "", "ff 12 ed "},
      {"\xef\xbb\xbf=ff =12 =ed #12 \n", "", "ff 12 ed "},
      {"x a=12 b\n=ff \n", "", "ff "},
      {"     1\t=ff =1g \n", "r:1: not a line of the tool's output", ""},
      {"=ff \n=ff =1\n=12 \n=1\n", bad2.c_str(), "ff "},
      {std::string("\0=ff \n", 7), "", "ff "},
      {"", none.c_str(), ""},
      {"Ok\n", none.c_str(), ""},
      {"Ok\n=ff =1g", bad2.c_str(), ""},
      {"=12 \n" + longest + "=34 \n", "", "12 | ff | 34 "},
      {"=12 \nx" + longest + "=34 \n", "r:2: longer than any line of the tool's output", "12 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log.substr(0, 80));
    const int fd = memfd_create("record", MFD_CLOEXEC);
    ASSERT_EQ(write(fd, c.log.data(), c.log.size()), static_cast<ssize_t>(c.log.size()));
    lseek(fd, 0, SEEK_SET);
    collected made;
    const stderrcapture said;
    const int status =
        sim::readrecord("r", fd, -1, [&](bytes& raw) { return made.sink(raw, true); });
    close(fd);
    EXPECT_EQ(status, *c.problem != '\0' ? 2 : 0);
    EXPECT_EQ(said.text(),
              *c.problem != '\0' ? "velquin-sim: " + std::string(c.problem) + "\n" : "");
    EXPECT_EQ(made.shown, c.batches);
  }
}

// Made a piece at a time, random or mangled bytes are one batch of the size
// asked, and the same for the same seed.
TEST(EmulatorInput, RandomBatchesHaveTheSizeAskedAndFollowTheSeed) {
  using maker = bool (*)(std::mt19937&, std::size_t, const sim::sink&);
  for (const maker make : {maker(sim::randombatch), maker(sim::mangledbatch)}) {
    for (const std::size_t n : {std::size_t(0), 2 * sim::piecesize + 1}) {
      std::mt19937 a(7);
      std::mt19937 b(7);
      collected first, again, next;
      ASSERT_TRUE(make(a, n, first.sink) && make(b, n, again.sink) && make(a, n, next.sink));
      EXPECT_EQ(first.shown.size(), 3 * n);
      EXPECT_EQ(first.shown, again.shown);
      EXPECT_EQ(first.shown == next.shown, n == 0);
    }
  }
}

// A manual page as man shows it, every run of white space one space.
std::string rendered(const char* page) {
  const std::string command = std::string("groff -man -Tascii -P-cbou -rHY=0 -rLL=300n ") + page;
  std::FILE* groff = popen(command.c_str(), "r");
  std::string text;
  for (int c = 0; groff != nullptr && (c = std::fgetc(groff)) != EOF;) {
    if (!std::isspace(c) || (!text.empty() && text.back() != ' ')) {
      text += std::isspace(c) ? ' ' : static_cast<char>(c);
    }
  }
  if (groff != nullptr) pclose(groff);
  return text;
}

// Every long option is in --help and in the manual page, and the bash
// completion takes them from --help; every message of the tool is in its
// manual page, in the page's own words for what varies.
TEST(EmulatorOptions, EveryOneIsDocumented) {
  const std::string page = rendered(VELQUIN_SIM_PAGE);
  ASSERT_FALSE(page.empty()) << "groff is missing (package groff-base)";
  for (const option& o : sim::longoptions()) {
    SCOPED_TRACE(o.name);
    const std::string name = std::string("--") + o.name;
    EXPECT_NE(std::string(sim::usage).find(name), std::string::npos);
    EXPECT_NE(page.find(name), std::string::npos);
  }
  const std::string tool = rendered(VELQUIN_PAGE);
  for (const char* message :
       {"can't open path", "can't open path: not a terminal", "can't open path: in use",
        "sending init string #n", "response xx should be yy", "ttyputc(): timeout",
        "ttyputc(): reason", "ttyputc(): line hung up", "unknown keycode xx",
        "velquin: select failed",
        "velquin: another program is reading the port; bytes it takes are not shown",
        "velquin: velquinconv: buffer overflow", "velquin: ps2conv: buffer overflow",
        "velquin: write error: reason", "Ok", "Failed (-2)"}) {
    EXPECT_NE(tool.find(message), std::string::npos) << message;
  }
}

// A bad option or value is refused with what is wrong, the first one said,
// the line left unmade.
TEST(EmulatorOptions, RefusesABadOneSayingWhy) {
  std::string moststale;
  for (int k = 0; k < 4096; ++k) moststale += "ff ";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--rate"}, "unknown option or missing value: --rate"},
      {{"-p"}, "unknown option or missing value: -p"},
      {{"--silent", "-xq", "ttyS1"}, "unknown option or missing value: -x"},
      {{"-t", "", "-xq", "ttyS1"}, "unknown option or missing value: -x"},
      {{"-p5", "--pace"}, "unknown option or missing value: --pace"},
      {{"--text", "caf\xc3\xa9", "ttyS1"}, "no key types the character 0xc3"},
      {{"--text=a\\x", "--pace=-1", "ttyS1"}, "bad escape for --text: '\\x'"},
      {{"--codes", "1g", "ttyS1"}, "bad byte list for --codes: '1g'"},
      {{"--bytes", "100", "ttyS1"}, "bad byte list for --bytes: '100'"},
      {{"--pace", "-1", "ttyS1"}, "bad number for --pace: '-1'"},
      {{"--pace=", "ttyS1"}, "bad number for --pace: ''"},
      {{"--late", "3", "ttyS1"}, "bad number for --late: '3'"},
      {{"--random=16777217", "ttyS1"}, "bad number for --random: '16777217'"},
      {{"--random= 5", "ttyS1"}, "bad number for --random: ' 5'"},
      {{"--random=+5", "ttyS1"}, "bad number for --random: '+5'"},
      {{"--stale=" + moststale + "ff", "ttyS1"}, "more than 4096 bytes for --stale"},
      {{"--stale=" + moststale, "ttyS1"}, ""},
      {{"--text", "x"}, "missing LINK"},
      {{"--text=a", ""}, "empty LINK"},
      {{"--port=", "--text=a", "ls"}, "empty name for --port"},
      {{"--log=", "--text=a", "ttyS1"}, "empty name for --log"},
      {{"--raw=", "ttyS1"}, "empty name for --raw"},
      {{"--keyboard=", "ttyS1"}, "empty name for --keyboard"},
      {{"--repeat=500,92", "--text=a", "ttyS1"}, "--repeat without --keyboard"},
      {{"--keyboard=k", "--repeat=0,92", "ttyS1"}, "bad delay and period for --repeat: '0,92'"},
      {{"--keyboard=k", "--repeat=500,10001", "ttyS1"},
       "bad delay and period for --repeat: '500,10001'"},
      {{"--keyboard=k", "--repeat=500", "ttyS1"}, "bad delay and period for --repeat: '500'"},
      {{"--repeat=10000,0", "--keyboard=k", "ttyS1"}, ""},
      {{"--late=0", "--late=2", "ttyS1", "sh", "-c", "x"}, ""},
  };
  for (const auto& [args, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::vector<std::string> words = {"velquin-sim"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    const sim::parsed p = sim::parse(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(p.error, error);
    if (error.empty()) {
      EXPECT_EQ(p.opts.link, "ttyS1");
    }
  }
}

// The receiver's side of the exchange ends at once when its time is up, when
// the run stops, and when the line ends.
TEST_F(Line, TheExchangeEndsAtOnce) {
  openline();
  int stop[2] = {-1, -1};
  ASSERT_EQ(pipe(stop), 0);
  line_.stop = stop[0];
  const auto t0 = clock::now();
  EXPECT_EQ(sim::playexchange(line_, {}, t0, nullptr), sim::outcome::due);
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  EXPECT_EQ(sim::playexchange(line_, {}, t0 + 30s, nullptr), sim::outcome::stopped);
  line_.stop = -1;
  close(line_.slave);
  line_.slave = -1;
  EXPECT_EQ(sim::playexchange(line_, {}, t0 + 30s, nullptr), sim::outcome::failed);
  EXPECT_EQ(errno, EIO);
  EXPECT_LT(clock::now() - t0, 1s);
  close(stop[0]);
  close(stop[1]);
}

// A batch that cannot all go out, paced or not, says which side failed, and
// why.
TEST_F(Line, AFailedSendSaysWhichSideFailed) {
  openline();
  const int full = open("/dev/full", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(full, 0);
  for (const bool log : {true, false}) {
    if (!log) sim::linehangup(line_);
    for (const int rate : {0, 1000000}) {
      SCOPED_TRACE(rate);
      sim::sender out{line_, {0ms, 0, rate}, log ? full : -1};
      EXPECT_EQ(out.send(qpress, true), sim::outcome::failed);
      EXPECT_EQ(out.logfailed, log);
      EXPECT_EQ(out.error, log ? ENOSPC : EBADF);
    }
  }
  close(full);
}

// What the tool's side of a raw line can read until it has been quiet for
// 200 ms.
bytes taken(int slave) {
  bytes took;
  std::uint8_t buf[4096];
  for (pollfd p{slave, POLLIN, 0}; poll(&p, 1, 200) > 0;) {
    const ssize_t n = read(slave, buf, sizeof buf);
    if (n <= 0) break;
    took.insert(took.end(), buf, buf + n);
  }
  return took;
}

// A batch cut after its first n bytes sends them, then pauses; the next batch
// waits for the pause after the one before, and nothing waits after a batch
// or for one without a byte:
// with a pause longer than the command lasts, only the first part, or the
// first batch, goes out.
TEST_F(Line, ABatchIsCutAfterItsSplit) {
  openline(sim::quietdefaults());
  line_.stop = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  ASSERT_GE(line_.stop, 0);
  const itimerspec soon{{0, 0}, {0, 200'000'000}};
  for (const auto& [split, sent] : {std::pair{0, 5}, {1, 1}, {3, 3}, {5, 5}}) {
    SCOPED_TRACE(split);
    ASSERT_EQ(timerfd_settime(line_.stop, 0, &soon, nullptr), 0);
    sim::sender out{line_, {30s, static_cast<std::size_t>(split), 0}};
    const bool whole = sent == 5;
    EXPECT_EQ(out.send(bytes{0xFF, 0x15, 0xEA, 0x12, 0xED}, true),
              whole ? sim::outcome::done : sim::outcome::stopped);
    if (whole) {
      EXPECT_EQ(out.send({}, true), sim::outcome::done) << "a batch without a byte paced";
      EXPECT_EQ(out.send(qpress, true), sim::outcome::stopped);
    }
    EXPECT_EQ(taken(line_.slave).size(), static_cast<std::size_t>(sent));
    std::uint64_t fired = 0;
    EXPECT_EQ(read(line_.stop, &fired, sizeof fired), 8);
  }
  close(line_.stop);
}

// The command ends while the line has room for only part of a batch: the log
// holds exactly what the line took.
TEST_F(Line, WhatTheLineTookIsLoggedWhenTheCommandEnds) {
  openline(sim::quietdefaults());
  int ended[2] = {-1, -1};
  ASSERT_EQ(pipe(ended), 0);
  line_.stop = ended[0];
  const int log = memfd_create("log", MFD_CLOEXEC);
  ASSERT_GE(log, 0);
  sim::sender out{line_, {0ms, 0, 0}, log};
  ASSERT_EQ(out.send(qpress, false), sim::outcome::done);
  ASSERT_EQ(write(ended[1], "x", 1), 1);
  EXPECT_EQ(out.send(bytes(1 << 20, 0x15), true), sim::outcome::stopped);
  const bytes took = taken(line_.slave);
  bytes logged(static_cast<std::size_t>(lseek(log, 0, SEEK_END)));
  EXPECT_EQ(pread(log, logged.data(), logged.size(), 0), static_cast<ssize_t>(logged.size()));
  EXPECT_GT(took.size(), 4096u);
  EXPECT_TRUE(logged == took) << logged.size() << " bytes logged, " << took.size() << " taken";
  EXPECT_EQ(out.unlogged, 0u);
  close(log);
  close(ended[0]);
  close(ended[1]);
}

}  // namespace
}  // namespace velquin::test

namespace velquin::test {
namespace {

// What a press, a release or a repeat of a key sends with Shift, Ctrl and
// Alt held or not: a PS/2 keyboard's set-2 codes.
TEST(KeyCodes, AreWhatAPs2KeyboardSends) {
  constexpr sim::modifiers none{};
  constexpr sim::modifiers shift{true, false, false};
  constexpr sim::modifiers ctrl{false, true, false};
  constexpr sim::modifiers alt{false, false, true};
  constexpr sim::modifiers altshift{true, false, true};
  struct Case {
    const char* name;
    unsigned key;
    char what;  // p: pressed, r: released, t: repeated
    sim::modifiers held;
    const char* sent;  // nullptr: the key has no set-2 code
  };
  const Case cases[] = {
      {"a plain key", KEY_A, 'p', none, "1c "},
      {"its release", KEY_A, 'r', none, "f0 1c "},
      {"an E0 key", KEY_UP, 'p', none, "e0 75 "},
      {"its release", KEY_UP, 'r', none, "e0 f0 75 "},
      {"a multimedia key", KEY_VOLUMEUP, 'p', none, "e0 32 "},
      {"right Shift", KEY_RIGHTSHIFT, 'p', none, "59 "},
      {"F7", KEY_F7, 'p', none, "83 "},
      {"keypad /", KEY_KPSLASH, 'p', shift, "e0 4a "},
      {"keypad Enter", KEY_KPENTER, 'r', none, "e0 f0 5a "},
      {"Print Screen", KEY_SYSRQ, 'p', none, "e0 12 e0 7c "},
      {"Print Screen released", KEY_SYSRQ, 'r', none, "e0 f0 7c e0 f0 12 "},
      {"Print Screen with Shift", KEY_SYSRQ, 'p', shift, "e0 7c "},
      {"Print Screen with Ctrl, released", KEY_SYSRQ, 'r', ctrl, "e0 f0 7c "},
      {"Print Screen with Alt", KEY_SYSRQ, 'p', alt, "84 "},
      {"Print Screen with Alt and Shift, released", KEY_SYSRQ, 'r', altshift, "f0 84 "},
      {"Print Screen repeated", KEY_SYSRQ, 't', none, "e0 7c "},
      {"Print Screen repeated with Alt", KEY_SYSRQ, 't', alt, "84 "},
      {"Pause", KEY_PAUSE, 'p', shift, "e1 14 77 e1 f0 14 f0 77 "},
      {"Pause with Ctrl", KEY_PAUSE, 'p', ctrl, "e0 7e e0 f0 7e "},
      {"Pause released", KEY_PAUSE, 'r', ctrl, ""},
      {"Pause repeated", KEY_PAUSE, 't', none, ""},
      {"Hangul, which has no break code, released", KEY_HANGEUL, 'r', none, ""},
      {"a held Shift repeated", KEY_LEFTSHIFT, 't', shift, "12 "},
      {"a key with no code", KEY_BRIGHTNESSUP, 'p', none, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bytes out;
    if (c.what == 't') {
      out = sim::keyrepeats(c.key, c.held);
    } else {
      EXPECT_EQ(sim::keysends(c.key, c.what == 'p', c.held, out), c.sent != nullptr);
    }
    EXPECT_EQ(hex(out), c.sent != nullptr ? c.sent : "");
  }
}

// The last key pressed repeats, at the times of the key events, on a clock
// of the test's own.
TEST(KeyRepeat, RepeatsTheLastKeyPressedAsAKeyboardDoes) {
  struct Step {
    int ms;
    char what;  // p: pressed, r: released, l: a look at the clock
    unsigned key = 0;
  };
  struct Case {
    const char* name;
    int period;
    std::vector<Step> steps;
    const char* repeats;  // key@ms, at every look that finds one due
  };
  const Case cases[] = {
      {"at the delay, then every period",
       92,
       {{0, 'p', KEY_A}, {499, 'l'}, {500, 'l'}, {591, 'l'}, {592, 'l'}, {684, 'l'}},
       "30@500 30@592 30@684 "},
      {"a release stops it", 92, {{0, 'p', KEY_A}, {300, 'r', KEY_A}, {600, 'l'}}, ""},
      {"a new key takes over, and the first does not come back",
       92,
       {{0, 'p', KEY_A}, {200, 'p', KEY_B}, {600, 'l'}, {700, 'l'}, {750, 'r', KEY_B}, {1000, 'l'}},
       "48@700 "},
      {"another key's release does not stop it",
       92,
       {{0, 'p', KEY_A}, {100, 'p', KEY_B}, {200, 'r', KEY_A}, {600, 'l'}},
       "48@600 "},
      {"a held Shift repeats", 92, {{0, 'p', KEY_LEFTSHIFT}, {500, 'l'}}, "42@500 "},
      {"Pause never, and ends another's",
       92,
       {{0, 'p', KEY_A}, {100, 'p', KEY_PAUSE}, {1000, 'l'}},
       ""},
      {"period 0: none", 0, {{0, 'p', KEY_A}, {1000, 'l'}}, ""},
      // A press and its release read together, late.
      {"a late read makes none", 92, {{0, 'p', KEY_A}, {50, 'r', KEY_A}, {600, 'l'}}, ""},
      {"one held up is skipped, not caught up",
       92,
       {{0, 'p', KEY_A}, {1000, 'l'}, {1051, 'l'}, {1052, 'l'}},
       "30@1000 30@1052 "},
  };
  const sim::steady::time_point t0{};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::typematic repeat;
    repeat.period = std::chrono::milliseconds(c.period);
    std::string repeats;
    for (const Step& s : c.steps) {
      const auto at = t0 + std::chrono::milliseconds(s.ms);
      if (s.what == 'p') repeat.press(s.key, at);
      if (s.what == 'r') repeat.release(s.key);
      if (s.what != 'l') continue;
      if (const unsigned key = repeat.fire(at)) {
        repeats += std::to_string(key) + "@" + std::to_string(s.ms) + " ";
      }
    }
    EXPECT_EQ(repeats, c.repeats);
  }
}

input_event keyboardevent(int type, int code, int value) {
  input_event e{};
  e.type = static_cast<std::uint16_t>(type);
  e.code = static_cast<std::uint16_t>(code);
  e.value = value;
  return e;
}

// A descriptor watched beside the stop is read in every wait, until the
// watch ends, which what reads it may end itself.
TEST(EmulatorWait, ReadsBesideTheStopUntilTheWatchEnds) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
  std::string taken;
  const std::string said(64, 'x');  // held on the heap by the watch
  sim::watchbeside(p[0], [&, said] {
    char c = 0;
    while (read(p[0], &c, 1) == 1) taken += c;
    if (taken.ends_with('.')) sim::watchalone();
    EXPECT_EQ(said.size(), 64u);
  });
  for (const char* sent : {"ab", "c.", "d"}) {
    ASSERT_EQ(write(p[1], sent, std::strlen(sent)), static_cast<ssize_t>(std::strlen(sent)));
    EXPECT_EQ(sim::sleepuntil(-1, sim::steady::now() + 20ms), sim::outcome::due);
  }
  EXPECT_EQ(taken, "abc.");
  sim::watchalone();
  close(p[0]);
  close(p[1]);
}

// What a grabbed keyboard reports, taken as it comes, goes out in order, a
// batch an event, until the chord ends it and releases the keys held.
TEST(KeyboardEvents, GoOutAsTheyCame) {
  struct Case {
    const char* name;
    std::vector<input_event> events;
    std::vector<unsigned> actual;  // the keys held, when asked after lost events
    std::string batches;
    std::string said = "";
    std::vector<input_event> later = {};  // taken once those before have gone out
  };
  const auto key = [](int code, int value) { return keyboardevent(EV_KEY, code, value); };
  const input_event report = keyboardevent(EV_SYN, SYN_REPORT, 0);
  const input_event dropped = keyboardevent(EV_SYN, SYN_DROPPED, 0);
  // Taps of A that fill the queue, the last press taken and its release not;
  // and the batches of those taken.
  std::vector<input_event> flood;
  std::string flooded;
  for (std::size_t k = 0; k <= sim::keyreader::room - sim::keyreader::reserve; ++k) {
    flood.push_back(key(KEY_A, k % 2 == 0 ? 1 : 0));
    flooded += k % 2 == 0 ? "ff 1c e3 | " : "ff f0 0f 1c e3 | ";
  }
  flooded.resize(flooded.size() - std::string("ff f0 0f 1c e3 | ").size());
  const auto then = [&](std::vector<input_event> after) {
    std::vector<input_event> all = flood;
    all.insert(all.end(), after.begin(), after.end());
    return all;
  };
  const std::string lostsaid =
      "velquin-sim: kbd: key events lost; the keys held brought up to date\n";
  const Case cases[] = {
      {"a press and its release, the device's repeats left out",
       {key(KEY_A, 1), report, key(KEY_A, 2), key(KEY_A, 2), key(KEY_A, 0)},
       {},
       "ff 1c e3 | ff f0 0f 1c e3 "},
      {"Esc alone", {key(KEY_ESC, 1), key(KEY_ESC, 0)}, {}, "ff 76 89 | ff f0 0f 76 89 "},
      {"Esc with both Shifts ends it, and the Shifts go up, latest first",
       {key(KEY_LEFTSHIFT, 1), key(KEY_RIGHTSHIFT, 1), key(KEY_ESC, 1), key(KEY_A, 1)},
       {},
       "ff 12 ed | ff 59 a6 | ff f0 0f 59 a6 | ff f0 0f 12 ed "},
      {"a release never pressed", {key(KEY_A, 0)}, {}, ""},
      {"Print Screen with Alt",
       {key(KEY_LEFTALT, 1), key(KEY_SYSRQ, 1), key(KEY_SYSRQ, 0)},
       {},
       "ff 11 ee | ff 84 7b | ff f0 0f 84 7b "},
      {"a key with no code, named once",
       {key(KEY_BRIGHTNESSUP, 1), key(KEY_BRIGHTNESSUP, 0), key(KEY_BRIGHTNESSUP, 1)},
       {},
       "",
       "velquin-sim: kbd: key 225 has no set-2 code; passed over\n"},
      {"lost events: none taken to the report, then the keys held brought up to date",
       {key(KEY_A, 1), key(KEY_B, 1), dropped, key(KEY_C, 1), key(KEY_A, 0), report, key(KEY_D, 1)},
       {KEY_B, KEY_C},
       "ff 1c e3 | ff 32 cd | ff f0 0f 1c e3 | ff 21 de | ff 23 dc ",
       lostsaid},
      {"a full queue: none taken to the report, then the keys held brought up to date",
       then({report}),
       {},
       flooded + "ff f0 0f 1c e3 | ff 32 cd ",
       lostsaid,
       {key(KEY_B, 1)}},
      {"the chord while events are lost",
       then({key(KEY_LEFTSHIFT, 1), key(KEY_RIGHTSHIFT, 1), key(KEY_ESC, 1)}),
       {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_ESC},
       flooded + "ff f0 0f 1c e3 | ff 12 ed | ff 59 a6 | ff f0 0f 59 a6 | ff f0 0f 12 ed ",
       lostsaid},
  };
  const std::string path = "kbd";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const stderrcapture said;
    sim::keyreader r;
    r.actual = [&](std::span<std::uint8_t> down) {
      for (const unsigned k : c.actual) down[k / 8] |= static_cast<std::uint8_t>(1 << (k % 8));
      return true;
    };
    r.said = [&] {
      sim::complain(0, path + ": key events lost; the keys held brought up to date");
    };
    collected made;
    sim::keyplayer p{path, {made.sink, 1000}, false};
    for (const auto& events : {c.events, c.later}) {
      for (const input_event& e : events) r.take(e, sim::steady::now());
      for (sim::keyevent e; r.next(e);) p.play(e);
    }
    if (r.ended) p.releaseall();
    // Of a flood, what differs, and what comes after it.
    const auto tail = [](const std::string& b) {
      return b.substr(b.size() - std::min<std::size_t>(b.size(), 120));
    };
    EXPECT_TRUE(made.shown == c.batches) << made.shown.size() << " " << c.batches.size() << ": ..."
                                         << tail(made.shown) << "\nnot ..." << tail(c.batches);
    EXPECT_EQ(said.text(), c.said);
  }
}

}  // namespace
}  // namespace velquin::test
