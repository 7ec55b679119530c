// The real program, built to open a link in the build tree, run against the
// emulated receiver: what the end-to-end tests share.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim/sim.h"
#include "support.h"

namespace velquin {

using namespace std::chrono_literals;
using sim::bytes;

inline constexpr const char* exe = VELQUIN_PTY_EXE;
inline constexpr const char* device = VELQUIN_PTY_DEVICE;

inline const char* const allsent =
    "sending init string #0\nsending init string #1\nsending init string #2\n";

inline bytes allrequests() {
  bytes all;
  for (int i = 0; i < 3; ++i) {
    const auto r = sim::request(i);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

// Settings the tool must find again when it has finished.
inline termios distinctive() {
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

}  // namespace velquin
