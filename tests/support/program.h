// The real program, the test build that opens ttyS1 in its working directory,
// run against the emulated receiver: what the end-to-end tests share.
#pragma once
#include <thread>

#include "support.h"

namespace velquin::test {

inline constexpr const char* exe = VELQUIN_PTY_EXE;
inline constexpr const char* simexe = VELQUIN_SIM_EXE;

inline bytes allrequests() {
  bytes all;
  for (int i = 0; i < 3; ++i) {
    const auto r = sim::request(i);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

// How long a whole run of the emulator and the tool, for one byte, takes in
// `dir` here and now: starting both, the exchange and the hang-up. A bound
// that depends on the machine's speed (qemu-user, other work beside the
// tests) is taken from it.
inline std::chrono::milliseconds wholerun(const std::string& dir) {
  const auto t0 = std::chrono::steady_clock::now();
  child c;
  spawnoptions o;
  o.args = {"--hold=0", "--bytes=ff", "ttyS1", exe};
  o.dir = dir;
  EXPECT_TRUE(spawn(c, simexe, o) && finish(c, 60s) == 0) << c.errtext;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0);
}

class Program : public Line {
 protected:
  void TearDown() override {
    receiver_ = {};
    sim::linehangup(line_);
    if (child_.pid > 0) finish(child_, 10s);
    Line::TearDown();
  }

  // Plays the exchange as `a` says and starts the tool in the scratch directory.
  void start(const sim::answers& a, spawnoptions o = {}) {
    receiver_ = exchangethread(line_, a, 30s, &heard_);
    o.dir = dir_;
    ASSERT_TRUE(spawn(child_, exe, o));
  }
  // Starts the tool on a line that answers, and waits for its "Ok".
  void startok(const spawnoptions& o = {}) {
    openline();
    start({}, o);
    std::string line;
    ASSERT_TRUE(takeline(child_, line, 10s)) << child_.errtext;
    ASSERT_EQ(line, "Ok\n");
    receiver_ = {};
  }

  bytes heard_;
  std::jthread receiver_;
  child child_;
};

}  // namespace velquin::test
