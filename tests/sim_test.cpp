// The receiver emulator: what it builds to send, and the program as a user runs it.
#include <signal.h>

#include <filesystem>
#include <regex>

#include "program.h"
#include "sim/log.h"

namespace velquin::test {
namespace {

using clock = std::chrono::steady_clock;

// Batches as "ff 12 ed | ff 1c e3 ..." for reading in a table.
std::string shown(const sim::batches& b) {
  std::string s;
  for (const bytes& batch : b.list) s += (s.empty() ? "" : "| ") + hex(batch);
  return s;
}

TEST(EmulatorInput, GroupsFramesIntoBatches) {
  struct Case {
    const char* name;
    int group;
    void (*add)(sim::batches&);
    const char* batches;
  };
  const Case cases[] = {
      {"a key a frame", 1,
       [](sim::batches& b) {
         sim::typecodes(b, bytes{0x15, 0xF0, 0x15});
       },
       "ff 15 ea | ff f0 0f 15 ea "},
      {"three frames a batch", 3,
       [](sim::batches& b) {
         char unknown = 0;
         sim::typetext(b, "A", unknown);
       },
       "ff 12 ed ff 1c e3 ff f0 0f 1c e3 | ff f0 0f 12 ed "},
      {"a raw batch stands alone", 2,
       [](sim::batches& b) {
         sim::typecodes(b, bytes{0x15});
         b.addbatch({0x40});
         sim::typecodes(b, bytes{0x1C, 0x29});
       },
       "ff 15 ea | 40 | ff 1c e3 ff 29 d6 "},
      {"prefixes share the next frame; one cut short", 4,
       [](sim::batches& b) {
         sim::typecodes(b, bytes{0xE0, 0x14, 0xE0, 0xF0, 0x14, 0xF0});
       },
       "ff e0 1f 14 eb ff e0 1f f0 0f 14 eb | ff f0 0f "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::batches b;
    b.group = c.group;
    c.add(b);
    EXPECT_EQ(shown(b), c.batches);
  }
  sim::batches b;
  char unknown = 0;
  EXPECT_FALSE(sim::typetext(b, "a\xe9", unknown));
  EXPECT_EQ(unknown, '\xe9');
  EXPECT_EQ(b.list.size(), 2u);
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
  EXPECT_EQ(sim::unescape("a\\n\\t\\e\\b\\r\\\\\\q\\"), "a\n\t\x1b\b\r\\q\\");
}

TEST(EmulatorInput, ReadsTheBatchesOfALogAndNamesTheFirstBadLine) {
  struct Case {
    const char* log;
    int bad;
    const char* batches;
  };
  const Case cases[] = {
      {"sending init string #0\nOk\n=ff =15 =ea #15 >71 'q'\n=ff =15 \nunknown keycode e0\n", 0,
       "ff 15 ea | ff 15 "},
      {"Ok\r\n=ff =5a =a5 #5a >0d '\\015'\r\n=5c #5c >5c '\\'", 0, "ff 5a a5 | 5c "},
      {"x = 5\n1765195200.123456 =ff =15 =ea #15 >71 'q'\n", 0, "ff 15 ea "},
      {"Ok\n=ff =15 =ea #15 >71 'Q'\n", 2, ""},
      {"=FF \n=ff =FF \n", 2, ""},
      {"x\n\n=ff =1\n", 3, ""},
      {"=ff =15=ea \n", 1, ""},
      {"t=1.5 =ff =33 =cc #33 >68 'h'\n", 0, "ff 33 cc "},
      {"=ff =15\n=ff =12 =ed #12\n=ff\n", 0, "ff 15 | ff 12 ed | ff "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    sim::batches b;
    EXPECT_EQ(sim::replaybatches(c.log, b.list), c.bad);
    if (c.bad == 0) {
      EXPECT_EQ(shown(b), c.batches);
    }
  }
}

TEST(EmulatorInput, MangledFramesHaveTheSizeAskedAndFollowTheSeed) {
  std::mt19937 a(7);
  std::mt19937 b(7);
  const bytes first = sim::mangledframes(a, 500);
  EXPECT_EQ(first.size(), 500u);
  EXPECT_EQ(hex(first), hex(sim::mangledframes(b, 500)));
  EXPECT_NE(hex(first), hex(sim::mangledframes(a, 500)));
}

TEST_F(Line, EmulatorServesAnExistingPortAndPutsItsSettingsBack) {
  openline();
  sim::line port;
  std::string err;
  ASSERT_TRUE(sim::portopen(port, link_, err)) << err;
  const termios raw = settings();
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
            static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(cfgetospeed(&raw), B9600);

  sim::line second;
  EXPECT_FALSE(sim::portopen(second, link_, err));
  EXPECT_EQ(err, link_ + ": in use");
  EXPECT_FALSE(sim::portopen(second, "/dev/null", err));
  EXPECT_EQ(err, "/dev/null: not a terminal");

  sim::lineclose(port);
  EXPECT_EQ(settings(), before_);
}

TEST_F(Line, EmulatorTypesEveryPrintableCharacterThroughTheTool) {
  std::string text;
  std::string escaped;
  for (char c = 0x20; c < 0x7F; ++c) {
    text += c;
    escaped += c == '\\' ? "\\\\" : std::string(1, c);
  }
  child c;
  ASSERT_TRUE(spawn(
      c, simexe, here({"--pace=5", "--group=6", "--hold=100", "--text", escaped, "ttyS1", exe})));
  EXPECT_EQ(finish(c, 60s), 0);

  static const std::regex item(">([0-9a-f]{2}) '");
  std::string typed;
  for (auto m = std::sregex_iterator(c.outtext.begin(), c.outtext.end(), item);
       m != std::sregex_iterator(); ++m) {
    typed += static_cast<char>(std::stoi((*m)[1], nullptr, 16));
  }
  EXPECT_EQ(typed, text);
  EXPECT_EQ(c.outtext.substr(0, 3), "Ok\n");
  EXPECT_EQ(c.errtext, allsent);
}

TEST_F(Line, EmulatorEndsWithItsCommandWhileItsInputStaysOpen) {
  child c;
  const auto t0 = clock::now();
  spawnoptions o = here({"ttyS1", "timeout", "2", exe});
  o.input = true;
  ASSERT_TRUE(spawn(c, simexe, o));
  EXPECT_EQ(finish(c, 10s), 124);
  EXPECT_LT(clock::now() - t0, 5s);
}

// A session recorded from the tool, replayed through it, prints the same lines
// and the same messages: frames split across batches, held runs, Shift held
// across lines, noise and a carry buffer that overflows.
TEST_F(Line, EmulatorReplaysARecordedSessionByteForByte) {
  std::vector<std::string> args = {
      "--pace=40",     "--split=4",    "--text=Hi there, World!\\n", "--codes=e0 14 15 e0 f0 14 58",
      "--mangled=600", "--random=300", "--bytes=ff 15 ea ff"};
  // A run that never ends grows by 200 bytes a batch until the buffer is full.
  std::string held = "--bytes=ea";
  for (int k = 0; k < 99; ++k) held += " 15 ea";
  args.push_back("--bytes=15");
  args.insert(args.end(), 42, held + " 15");
  const auto record = [&](const std::vector<std::string>& options, child& c) {
    std::vector<std::string> all = options;
    all.insert(all.end(), {"ttyS1", exe});
    ASSERT_TRUE(spawn(c, simexe, here(all)));
    EXPECT_EQ(finish(c, 60s), 0) << c.errtext;
  };
  child original;
  record(args, original);
  EXPECT_NE(original.errtext.find("velquin: velquinconv: buffer overflow\n"), std::string::npos);
  ASSERT_GT(std::count(original.outtext.begin(), original.outtext.end(), '\n'), 100);
  std::FILE* log = std::fopen((dir_ + "/session.log").c_str(), "w");
  ASSERT_NE(log, nullptr);
  std::fputs(("pasted by hand\n" + original.outtext).c_str(), log);
  std::fclose(log);

  child replayed;
  record({"--pace=40", "--replay=session.log"}, replayed);
  EXPECT_EQ(replayed.outtext, original.outtext);
  EXPECT_EQ(replayed.errtext, original.errtext);
}

TEST_F(Line, SlowEmulatorPacesRatesBelowAThousandBitsASecond) {
  child c;
  const auto t0 = clock::now();
  ASSERT_TRUE(
      spawn(c, simexe, here({"--rate=100", "--pace=0", "--hold=0", "--random=50", "ttyS1", exe})));
  EXPECT_EQ(finish(c, 30s), 0);
  // 50 bytes of ten bits each at 100 bits a second.
  const auto took = clock::now() - t0;
  EXPECT_GE(took, 5s);
  EXPECT_LT(took, 8s);
  static const std::regex item("=[0-9a-f]{2} ");
  const auto shown = std::distance(std::sregex_iterator(c.outtext.begin(), c.outtext.end(), item),
                                   std::sregex_iterator());
  EXPECT_EQ(shown, 50) << c.outtext;
}

TEST_F(Line, EmulatorRefusesALiveLinkAndReplacesAStaleOne) {
  child first;
  ASSERT_TRUE(spawn(first, simexe, here({"--text=first", "ttyS1"})));
  for (int k = 0; k < 500 && !std::filesystem::is_symlink(link_); ++k) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(std::filesystem::is_symlink(link_));
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(link_, ec);

  child second;
  ASSERT_TRUE(spawn(second, simexe, here({"--text=second", "ttyS1", exe})));
  EXPECT_EQ(finish(second, 10s), 1);
  EXPECT_EQ(second.errtext, "velquin-sim: ttyS1: served by another velquin-sim\n");
  EXPECT_EQ(second.outtext, "");
  EXPECT_EQ(std::filesystem::read_symlink(link_, ec), target);

  // Killed, the first leaves its link and lock file behind.
  kill(first.pid, SIGKILL);
  EXPECT_EQ(finish(first, 5s), 128 + SIGKILL);
  child third;
  ASSERT_TRUE(spawn(third, simexe, here({"--text=q", "ttyS1", exe})));
  EXPECT_EQ(finish(third, 10s), 0);
  EXPECT_EQ(third.outtext, "Ok\n=ff =15 =ea #15 >71 'q'\n=ff =f0 =0f =15 =ea #f0 #15 \n");
  EXPECT_FALSE(std::filesystem::exists(link_));
  EXPECT_FALSE(std::filesystem::exists(link_ + ".lock"));
}

// Ended by a signal while it serves a port, it puts the port's settings back.
TEST_F(Line, EmulatorPutsAPortBackWhenASignalEndsIt) {
  openline();
  for (const int sig : {SIGINT, SIGQUIT}) {
    SCOPED_TRACE(sig);
    child c;
    ASSERT_TRUE(spawn(c, simexe, here({"--port=" + line_.slavepath, "--silent"})));
    for (int k = 0; k < 500 && settings() == before_; ++k) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(settings() == before_);
    kill(c.pid, sig);
    EXPECT_EQ(finish(c, 5s), 128 + sig);
    EXPECT_EQ(settings(), before_);
  }
}

// Every failure is reported, with its status, before anything is sent or
// made that it would spoil.
TEST_F(Line, EmulatorReportsEveryFailureWithItsStatus) {
  const auto usage = [](const std::string& m) {
    return "velquin-sim: " + m + "\nTry 'velquin-sim --help'.\n";
  };
  const std::string full = "velquin-sim: write error: No space left on device\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out = "";    // a file for standard output instead of the pipe
    std::string shown = "";  // what the pipe then holds
  };
  const Case cases[] = {
      {{"--bogus", "ttyS1"}, 2, usage("unknown option or missing value: --bogus")},
      {{"--rate"}, 2, usage("unknown option or missing value: --rate")},
      {{"-p"}, 2, usage("unknown option or missing value: -p")},
      {{"--text", "caf\xc3\xa9", "ttyS1"}, 2, usage("no key types the character 0xc3")},
      {{"--codes", "1g", "ttyS1"}, 2, usage("bad byte list for --codes: '1g'")},
      {{"--bytes", "100", "ttyS1"}, 2, usage("bad byte list for --bytes: '100'")},
      {{"--pace", "-1", "ttyS1"}, 2, usage("bad number for --pace: '-1'")},
      {{"--late", "3", "ttyS1"}, 2, usage("bad number for --late: '3'")},
      {{"--random=16777217", "ttyS1"}, 2, usage("bad number for --random: '16777217'")},
      {{"--text", "x"}, 2, usage("missing LINK")},
      {{"--replay=/nonexistent/session.log", "ttyS1"},
       2,
       "velquin-sim: /nonexistent/session.log: No such file or directory\n"},
      {{"--replay=/", "ttyS1"}, 2, "velquin-sim: /: Is a directory\n"},
      {{"--help"}, 1, full, "/dev/full"},
      {{"--version"}, 1, full, "/dev/full"},
      {{"--log=sent.log", "--port=/dev/null"}, 1, "velquin-sim: /dev/null: not a terminal\n"},
      {{"--log=/dev/full", "--text=a", "ttyS1", exe},
       1,
       allsent + "velquin-sim: /dev/full: No space left on device\n",
       "",
       "Ok\n=ff =1c =e3 #1c >61 'a'\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::PrintToString(k.args));
    child c;
    spawnoptions o = here(k.args);
    o.out = k.out;
    ASSERT_TRUE(spawn(c, simexe, o));
    EXPECT_EQ(finish(c, 10s), k.status);
    EXPECT_EQ(c.errtext, k.err);
    EXPECT_EQ(c.outtext, k.shown);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/sent.log"));
  }

  // Its own terminal, set raw, would swallow the user's Ctrl-C.
  openline();
  child c;
  spawnoptions o = here({"--port=" + line_.slavepath});
  o.setsid = true;
  o.ctty = line_.slavepath;
  ASSERT_TRUE(spawn(c, simexe, o));
  EXPECT_EQ(finish(c, 10s), 1);
  EXPECT_EQ(c.errtext, "velquin-sim: " + line_.slavepath + ": the emulator's own terminal\n");
  EXPECT_EQ(settings(), before_);
}

}  // namespace
}  // namespace velquin::test
