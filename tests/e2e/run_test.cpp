// The program as designed: the exchange, the views, the end of a run.
#include "program.h"

namespace velquin::test {
namespace {

TEST_F(Program, SilentReceiverFailsWithMinusTwoAndRestoresTheLine) {
  openline();
  start(sim::silent());
  EXPECT_EQ(finish(child_, 15s), 0);
  EXPECT_EQ(child_.outtext, "Failed (-2)\n");
  EXPECT_EQ(child_.errtext, "sending init string #0\nsending init string #0\n");
  receiver_ = {};
  bytes twice = bytes(sim::request(0).begin(), sim::request(0).end());
  twice.insert(twice.end(), twice.begin(), twice.end());
  EXPECT_EQ(hex(heard_), hex(twice));
  EXPECT_EQ(settings(), before_);
}

TEST_F(Program, NoiseInsteadOfAnswersFailsAndRestoresTheLine) {
  openline();
  sim::answers a;
  for (auto& r : a.reply) r = bytes{0x00, 0x55, 0xFF, 0x55, 0x07, 0x3F};
  start(a);
  EXPECT_EQ(finish(child_, 15s), 0);
  EXPECT_EQ(child_.outtext, "Failed (-2)\n");
  EXPECT_EQ(settings(), before_);
}

// One batch written by the receiver and the line the tool must print for it.
struct Batch {
  bytes in;
  std::string line;
};

class Monitor : public Program {
 protected:
  // The port starts with a VMIN of 20: every batch below is shorter.
  void watch(const std::vector<Batch>& batches, const spawnoptions& o = {}) {
    startok(o);
    EXPECT_EQ(hex(heard_), hex(allrequests()));
    for (const Batch& b : batches) {
      SCOPED_TRACE(hex(b.in));
      ASSERT_EQ(sim::linesend(line_, b.in), sim::outcome::done);
      // Each line is flushed in its own pass, standard output being a pipe.
      std::string line;
      ASSERT_TRUE(takeline(child_, line, 2s)) << "so far: " << child_.outtext;
      EXPECT_EQ(line, b.line);
    }
    sim::linehangup(line_);
    EXPECT_EQ(finish(child_, 10s), 0);
    EXPECT_EQ(child_.outtext, "");
  }
};

TEST_F(Monitor, PrintsEveryBatchInThreeViews) {
  watch({
      {qpress, qline},
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
  watch({{{0xFF, 0xE0, 0x1F, 0x11, 0xEE}, "=ff =e0 =1f =11 =ee #e0 #11 \n"}, {qpress, qline}});
  EXPECT_EQ(child_.errtext, allsent + "unknown keycode e0\n");
}

TEST_F(Monitor, IgnoresArgumentsAndWorksWithAPortDescriptorAbove1023) {
  spawnoptions o;
  o.args = {"-h", "--device", "/dev/null", "19200"};
  o.fdfloor = 1100;
  watch({{qpress, qline}}, o);
  EXPECT_EQ(child_.errtext, allsent);
}

}  // namespace
}  // namespace velquin::test
