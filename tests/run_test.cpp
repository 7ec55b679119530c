#include <chrono>
#include <regex>

#include "program.h"

namespace velquin {
namespace {

using namespace std::chrono_literals;
using sim::bytes;

TEST_F(Program, WithoutTheDeviceSaysSoAndExitsWithStatusOne) {
  ASSERT_TRUE(test::spawn(child_, exe, {}));
  EXPECT_EQ(test::finish(child_, 10s), 1);
  EXPECT_EQ(child_.errtext, std::string("can't open ") + device + "\n");
  EXPECT_EQ(child_.outtext, "");
}

TEST_F(Program, SilentReceiverFailsWithMinusTwoAndRestoresTheLine) {
  openline();
  start(sim::silent());
  EXPECT_EQ(test::finish(child_, 15s), 0);
  EXPECT_EQ(child_.outtext, "Failed (-2)\n");
  EXPECT_EQ(child_.errtext, "sending init string #0\nsending init string #0\n");
  receiver_ = {};
  bytes twice = bytes(sim::request(0).begin(), sim::request(0).end());
  twice.insert(twice.end(), twice.begin(), twice.end());
  EXPECT_EQ(test::hex(heard_), test::hex(twice));
  expectrestored();
}

TEST_F(Program, AnsweringReceiverGivesOkThenWatchesUntilHangUp) {
  struct Case {
    const char* name;
    test::spawnoptions options;
  };
  const Case cases[] = {
      {"no arguments", {}},
      {"extra arguments change nothing", {{"-h", "--device", "/dev/null", "19200"}}},
      {"standard input closed", {{}, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    heard_.clear();
    child_ = {};
    openline();
    start({}, c.options);
    std::string line;
    ASSERT_TRUE(test::takeline(child_, line, 10s));
    EXPECT_EQ(line, "Ok\n");
    receiver_ = {};
    EXPECT_EQ(test::hex(heard_), test::hex(allrequests()));
    sim::linehangup(line_);
    EXPECT_EQ(test::finish(child_, 10s), 0);
    EXPECT_EQ(child_.outtext, "");
    EXPECT_EQ(child_.errtext, allsent);
    sim::lineclose(line_);
  }
}

// One batch written by the receiver and the line the tool must print for it.
struct Batch {
  sim::bytes in;
  const char* line;
};

class Monitor : public Program {
 protected:
  void watch(const std::vector<Batch>& batches, const test::spawnoptions& o = {}) {
    openline();
    start({}, o);
    std::string line;
    ASSERT_TRUE(test::takeline(child_, line, 10s));
    ASSERT_EQ(line, "Ok\n");
    receiver_ = {};
    for (const Batch& b : batches) {
      SCOPED_TRACE(test::hex(b.in));
      ASSERT_TRUE(sim::linesend(line_, b.in));
      // Each line is flushed in its own pass, standard output being a pipe.
      ASSERT_TRUE(test::takeline(child_, line, 2s)) << "so far: " << child_.outtext;
      EXPECT_EQ(line, b.line);
    }
    sim::linehangup(line_);
    EXPECT_EQ(test::finish(child_, 10s), 0);
    EXPECT_EQ(child_.outtext, "");
  }
};

TEST_F(Monitor, PrintsEveryBatchInThreeViews) {
  watch({
      {{0xFF, 0x15, 0xEA}, "=ff =15 =ea #15 >71 'q'\n"},
      {{0xFF, 0x5A, 0xA5}, "=ff =5a =a5 #5a >0d '\\015'\n"},
      {{0xFF, 0xF0, 0x0F, 0x15, 0xEA}, "=ff =f0 =0f =15 =ea #f0 #15 \n"},
      {{0xFF, 0x15}, "=ff =15 \n"},
      {{0xEA}, "=ea #15 >71 'q'\n"},
      {{0xFF, 0xFF}, "=ff =ff \n"},
      {{0xFF, 0x29, 0xD6}, "=ff =29 =d6 #29 >20 ' '\n"},
      {{0xFF, 0x66, 0x99}, "=ff =66 =99 #66 >7f '\\177'\n"},
      {{0xFF, 0x52, 0xAD}, "=ff =52 =ad #52 >27 '''\n"},
      {{0xFF, 0x5D, 0xA2}, "=ff =5d =a2 #5d >5c '\\'\n"},
      {{0xFF, 0x12, 0xED}, "=ff =12 =ed #12 \n"},
      {{0xFF, 0x1C, 0xE3, 0xFF, 0xF0, 0x0F, 0x1C, 0xE3},
       "=ff =1c =e3 =ff =f0 =0f =1c =e3 #1c #f0 #1c >41 'A'\n"},
      {{0xFF, 0xF0, 0x0F, 0x12, 0xED, 0xFF, 0x1C, 0xE3},
       "=ff =f0 =0f =12 =ed =ff =1c =e3 #f0 #12 #1c >61 'a'\n"},
  });
  EXPECT_EQ(child_.errtext, allsent);
}

TEST_F(Monitor, ReportsAnExtendedKeyOnStandardError) {
  watch({{{0xFF, 0xE0, 0x1F, 0x11, 0xEE}, "=ff =e0 =1f =11 =ee #e0 #11 \n"},
         {{0xFF, 0x15, 0xEA}, "=ff =15 =ea #15 >71 'q'\n"}});
  EXPECT_EQ(child_.errtext, std::string(allsent) + "unknown keycode e0\n");
}

TEST_F(Monitor, WorksWithAPortDescriptorAbove1023) {
  test::spawnoptions o;
  o.fdfloor = 1100;
  watch({{{0xFF, 0x15, 0xEA}, "=ff =15 =ea #15 >71 'q'\n"}}, o);
  EXPECT_EQ(child_.errtext, allsent);
}

// The emulator program, as a user runs it, with the tool as its command.
TEST(Emulator, TypesEveryPrintableCharacterThroughTheTool) {
  std::string text;
  std::string escaped;
  for (char c = 0x20; c < 0x7F; ++c) {
    text += c;
    escaped += c == '\\' ? "\\\\" : std::string(1, c);
  }
  unlink(device);
  test::child c;
  ASSERT_TRUE(
      test::spawn(c, VELQUIN_SIM_EXE,
                  {{"--pace=5", "--group=6", "--hold=100", "--text", escaped, device, exe}}));
  EXPECT_EQ(test::finish(c, 60s), 0);

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

TEST(Emulator, RejectsBadOptionsAndCharactersNoKeyTypes) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--bogus", device}, "velquin-sim: unknown option or missing value: --bogus\n"},
      {{"--text", "caf\xc3\xa9", device}, "velquin-sim: no key types the character 0xc3\n"},
      {{"--codes", "1g", device}, "velquin-sim: bad byte list for --codes: '1g'\n"},
      {{"--bytes", "100", device}, "velquin-sim: bad byte list for --bytes: '100'\n"},
      {{"--pace", "-1", device}, "velquin-sim: bad number for --pace: '-1'\n"},
      {{"--late", "3", device}, "velquin-sim: bad number for --late: '3'\n"},
      {{"--text", "x"}, "velquin-sim: missing LINK\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args[0]);
    test::child c;
    ASSERT_TRUE(test::spawn(c, VELQUIN_SIM_EXE, {k.args}));
    EXPECT_EQ(test::finish(c, 10s), 2);
    EXPECT_EQ(c.errtext, std::string(k.message) + "Try 'velquin-sim --help'.\n");
    EXPECT_EQ(c.outtext, "");
  }
}

}  // namespace
}  // namespace velquin
