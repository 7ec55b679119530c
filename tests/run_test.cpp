// The real program, built to open a link in the build tree, against the
// emulated receiver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim/sim.h"
#include "support.h"

namespace velquin {
namespace {

using namespace std::chrono_literals;
using sim::bytes;

constexpr const char* exe = VELQUIN_PTY_EXE;
constexpr const char* device = VELQUIN_PTY_DEVICE;

const char* const allsent =
    "sending init string #0\nsending init string #1\nsending init string #2\n";

bytes allrequests() {
  bytes all;
  for (int i = 0; i < 3; ++i) {
    const auto r = sim::request(i);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

// Settings the tool must find again when it has finished.
termios distinctive() {
  termios t = sim::quietdefaults();
  t.c_iflag = ICRNL | IXON;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ISIG | ICANON;
  t.c_cc[VINTR] = 3;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 2;
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  return t;
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override { unlink(device); }
  void TearDown() override {
    receiver_ = {};
    sim::lineclose(line_);
  }

  void openline() {
    const termios t = distinctive();
    std::string err;
    ASSERT_TRUE(sim::lineopen(line_, &t, device, err)) << err;
    ASSERT_TRUE(sim::linesettings(line_, before_));
  }
  void start(const sim::answers& a, const test::spawnoptions& o = {}) {
    receiver_ = std::jthread(
        [this, a](std::stop_token stop) { sim::playexchange(line_, a, 30s, &heard_, stop); });
    ASSERT_TRUE(test::spawn(child_, exe, o));
  }
  void expectrestored() {
    termios after{};
    ASSERT_TRUE(sim::linesettings(line_, after));
    EXPECT_EQ(after, before_);
  }

  sim::line line_;
  termios before_{};
  bytes heard_;
  std::jthread receiver_;
  test::child child_;
};

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

TEST_F(Program, AnsweringReceiverGivesOk) {
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
    EXPECT_EQ(test::finish(child_, 15s), 0);
    EXPECT_EQ(child_.outtext, "Ok\n");
    EXPECT_EQ(child_.errtext, allsent);
    receiver_ = {};
    EXPECT_EQ(test::hex(heard_), test::hex(allrequests()));
    expectrestored();
    sim::lineclose(line_);
  }
}

}  // namespace
}  // namespace velquin
