// The receiver emulator: what it builds to send, and the program as a user runs it.
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
      "--pace=20",     "--split=4",    "--text=Hi there, World!\\n", "--codes=e0 14 15 e0 f0 14 58",
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
  record({"--pace=20", "--replay=session.log"}, replayed);
  EXPECT_EQ(replayed.outtext, original.outtext);
  EXPECT_EQ(replayed.errtext, original.errtext);
}

TEST(Emulator, RejectsBadOptionsAndCharactersNoKeyTypes) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--bogus", "ttyS1"}, "unknown option or missing value: --bogus"},
      {{"--text", "caf\xc3\xa9", "ttyS1"}, "no key types the character 0xc3"},
      {{"--codes", "1g", "ttyS1"}, "bad byte list for --codes: '1g'"},
      {{"--bytes", "100", "ttyS1"}, "bad byte list for --bytes: '100'"},
      {{"--pace", "-1", "ttyS1"}, "bad number for --pace: '-1'"},
      {{"--late", "3", "ttyS1"}, "bad number for --late: '3'"},
      {{"--text", "x"}, "missing LINK"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args[0]);
    child c;
    spawnoptions o;
    o.args = k.args;
    ASSERT_TRUE(spawn(c, simexe, o));
    EXPECT_EQ(finish(c, 10s), 2);
    EXPECT_EQ(c.errtext,
              std::string("velquin-sim: ") + k.message + "\nTry 'velquin-sim --help'.\n");
    EXPECT_EQ(c.outtext, "");
  }
  child c;
  spawnoptions o;
  o.args = {"--replay=/nonexistent/session.log", "ttyS1"};
  ASSERT_TRUE(spawn(c, simexe, o));
  EXPECT_EQ(finish(c, 10s), 2);
  EXPECT_EQ(c.errtext, "velquin-sim: /nonexistent/session.log: No such file or directory\n");
}

}  // namespace
}  // namespace velquin::test
