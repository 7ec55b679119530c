// The receiver emulator: what it builds to send, and the program as a user runs it.
#include <regex>

#include "program.h"

namespace velquin::test {
namespace {

using clock = std::chrono::steady_clock;

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
}

}  // namespace
}  // namespace velquin::test
