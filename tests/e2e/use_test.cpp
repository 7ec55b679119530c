// The conditions a real bench and a real shell make: closed descriptors, a
// session of its own, a path that is no free port, settings and clock steps,
// a dead line, and standard output that cannot be written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "program.h"
#include "sim/program/records.h"

namespace velquin::test {
namespace {

using velquin::test::PrintTo;

using clock = std::chrono::steady_clock;

struct Closed {
  const char* name;
  std::vector<int> fds;
};

class ClosedStandard : public Program, public ::testing::WithParamInterface<Closed> {};

TEST_P(ClosedStandard, DescriptorsNeverBecomeThePort) {
  const std::vector<int>& closed = GetParam().fds;
  openline();
  spawnoptions o;
  o.closed = closed;
  start({}, o);
  receiver_.join();
  ASSERT_EQ(sim::linesend(line_, qpress), sim::outcome::done);
  // Whatever the tool wrote to the port shows up here by now.
  const bytes after = drain(1000);
  EXPECT_EQ(hex(heard_) + hex(after), hex(allrequests()));
  sim::linehangup(line_);
  EXPECT_EQ(finish(child_, 10s), 0);
  const bool out = closed.size() == 1 && closed[0] != 1;
  const bool err = closed.size() == 1 && closed[0] != 2;
  EXPECT_EQ(child_.outtext, out ? "Ok\n" + qline : "");
  EXPECT_EQ(child_.errtext, err ? allsent : "");
}

INSTANTIATE_TEST_SUITE_P(Closed, ClosedStandard,
                         ::testing::Values(Closed{"stdin", {0}}, Closed{"stdout", {1}},
                                           Closed{"stderr", {2}}, Closed{"all", {0, 1, 2}}),
                         casename());

TEST_F(Program, ASessionLeaderEndsCleanlyWhenTheLineHangsUp) {
  spawnoptions o;
  o.setsid = true;
  startok(o);
  sim::linehangup(line_);
  EXPECT_EQ(finish(child_, 10s), 0);
}

TEST_F(Line, RefusesWhatIsNoTerminalAndLeavesItAlone) {
  struct Case {
    const char* name;
    const char* target;  // what ttyS1 links to; a file of its own when null
    const char* why;
  };
  const Case cases[] = {
      {"nothing there", "missing", ""},
      {"a file", nullptr, ": not a terminal"},
      {"/dev/null", "/dev/null", ": not a terminal"},
      {"/dev/zero", "/dev/zero", ": not a terminal"},
  };
  const std::string content = "keep me\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(link_.c_str());
    if (c.target != nullptr) {
      ASSERT_EQ(symlink(c.target, link_.c_str()), 0);
    } else {
      std::ofstream(link_) << content;
    }
    child tool;
    ASSERT_TRUE(spawn(tool, exe, here()));
    EXPECT_EQ(finish(tool, 5s), 1);
    EXPECT_EQ(tool.errtext, std::string("can't open ttyS1") + c.why + "\n");
    EXPECT_EQ(tool.outtext, "");
    if (c.target == nullptr) {
      std::ifstream in(link_);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
    }
  }
}

TEST_F(Program, ASecondCopyOnTheSamePortIsRefused) {
  startok();
  const termios running = settings();
  child second;
  ASSERT_TRUE(spawn(second, exe, here()));
  EXPECT_EQ(finish(second, 5s), 1);
  EXPECT_EQ(second.errtext, "can't open ttyS1: in use\n");
  EXPECT_EQ(second.outtext, "");
  EXPECT_EQ(settings(), running);
  EXPECT_EQ(hex(drain(200)), "");

  // The first copy still watches the line.
  ASSERT_EQ(sim::linesend(line_, qpress), sim::outcome::done);
  std::string line;
  ASSERT_TRUE(takeline(child_, line, 2s));
  EXPECT_EQ(line, qline);
}

// The environment that steps a program's wall clock by `step` seconds half a
// second in.
std::vector<std::string> stepped(const char* step) {
  return {preload(VELQUIN_CLOCKSTEP), "CLOCKSTEP_AFTER_MS=500",
          std::string("CLOCKSTEP_SECONDS=") + step, "ASAN_OPTIONS=verify_asan_link_order=0"};
}

class ClockStep : public Program {
 protected:
  // Runs the tool with its wall clock stepped; its first line must come
  // within the exchange's own limits.
  void run(const char* step, const sim::answers& answers, const char* out) {
    openline();
    spawnoptions o;
    o.env = stepped(step);
    const auto t0 = clock::now();
    start(answers, o);
    std::string line;
    EXPECT_TRUE(takeline(child_, line, 10s));
    EXPECT_LT(clock::now() - t0, 7s);
    EXPECT_EQ(line, out);
  }
};

TEST_F(ClockStep, AForwardStepDoesNotCutTheExchangeShort) {
  sim::answers late;
  late.from[1] = 1;  // the exchange takes 2 to 3 seconds more
  run("3600", late, "Ok\n");
}

TEST_F(ClockStep, ABackwardStepDoesNotHoldTheExchangeUp) {
  run("-3600", sim::silent(), "Failed (-2)\n");
}

// The two above prove something only if the step happens: a probe built with
// the tool's own flags (a 64-bit time_t on armhf among them) sees every wall
// clock it reads move by the step.
TEST(ClockStepLibrary, StepsEveryWallClockAProgramReads) {
  for (const char* step : {"3600", "-3600"}) {
    SCOPED_TRACE(step);
    child probe;
    spawnoptions o;
    o.env = stepped(step);
    ASSERT_TRUE(spawn(probe, VELQUIN_CLOCKPROBE, o));
    EXPECT_EQ(finish(probe, 10s), 0) << probe.errtext;
    long long t = 0;
    long long timeofday = 0;
    long long realtime = 0;
    ASSERT_EQ(std::sscanf(probe.outtext.c_str(), "time %lld gettimeofday %lld clock_gettime %lld",
                          &t, &timeofday, &realtime),
              3)
        << probe.outtext;
    const long long want = std::stoll(step);
    EXPECT_TRUE(t == want || t == want + 1) << t;
    EXPECT_EQ(timeofday, want);
    EXPECT_EQ(realtime, want);
  }
}

// Fills the line until it refuses more: nobody reads the receiver's side.
// The kernel moves bytes on behind the writer's back for a while, so it fills
// again, slowly, until the line has stopped taking any.
void fill(const sim::line& l) {
  const std::uint8_t block[512] = {};
  for (int refused = 0; refused < 5;) {
    if (write(l.slave, block, 1) > 0) {
      refused = 0;
      while (write(l.slave, block, sizeof block) > 0) {
      }
    } else {
      ++refused;
      std::this_thread::sleep_for(50ms);
    }
  }
}

// Whether the process sleeps in poll(2), as the kernel says, within `limit`.
bool waitsinpoll(pid_t pid, std::chrono::milliseconds limit) {
  return eventually(
      [pid] {
        std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
        std::string where;
        return std::getline(wchan, where) && where.find("poll") != std::string::npos;
      },
      limit);
}

// A line that hangs up in the exchange, whether the tool is writing or
// waiting for a byte to go out, fails as a silent receiver does, and in the
// seconds that takes the tool sleeps.
struct HungUp {
  const char* name;
  bool full;  // the hang-up finds the tool waiting to send its first byte
  const char* messages;
};

class HangUpInTheExchange : public Program, public ::testing::WithParamInterface<HungUp> {};

TEST_P(HangUpInTheExchange, FailsLikeASilentReceiver) {
  const HungUp& c = GetParam();
  openline(c.full ? sim::quietdefaults() : distinctive());
  if (c.full) fill(line_);
  const auto t0 = clock::now();
  ASSERT_TRUE(spawn(child_, exe, here()));
  if (c.full) {
    while (child_.errtext.empty() && clock::now() - t0 < 5s) {
      std::string none;
      takeline(child_, none, 10ms);
    }
    // Its first byte refused, it waits in poll for room.
    EXPECT_TRUE(waitsinpoll(child_.pid, 5s));
  } else {
    ASSERT_FALSE(drain(5000).empty());
  }
  sim::linehangup(line_);
  EXPECT_EQ(finish(child_, 15s), 0);
  // The exchange's 5 to 6 seconds, and the start of a program that qemu-user
  // may take a second over; not a timeout of 15 seconds a byte.
  EXPECT_LT(clock::now() - t0, 8s);
  EXPECT_LT(child_.cpu, 0.5);
  EXPECT_EQ(child_.outtext, "Failed (-2)\n");
  EXPECT_TRUE(std::regex_match(child_.errtext, std::regex(c.messages))) << child_.errtext;
}

// Whether the first attempt got out before the hang-up is a race.
INSTANTIATE_TEST_SUITE_P(
    Line, HangUpInTheExchange,
    ::testing::Values(HungUp{"while_it_sends", false,
                             "sending init string #0\n(ttyputc\\(\\): Input/output error\n)?"
                             "sending init string #0\nttyputc\\(\\): Input/output error\n"},
                      HungUp{"while_its_bytes_wait", true,
                             "sending init string #0\nttyputc\\(\\): line hung up\n"
                             "sending init string #0\nttyputc\\(\\): Input/output error\n"}),
    casename());

TEST_F(Program, SlowWritesRefusedOnALiveLineGiveUpOnce) {
  openline(sim::quietdefaults());
  fill(line_);
  const auto t0 = clock::now();
  ASSERT_TRUE(spawn(child_, exe, here()));
  EXPECT_EQ(finish(child_, 30s), 0);
  const auto took = clock::now() - t0;
  EXPECT_GT(took, 15s);
  EXPECT_LT(took, 21s);
  EXPECT_EQ(child_.outtext, "Failed (-2)\n");
  EXPECT_EQ(child_.errtext, "sending init string #0\nttyputc(): timeout\n");
}

// A wait that fails ends the watch with the line put back. An interrupted
// wait is an empty pass, and so is a read that finds the bytes gone, taken by
// another reader: said once, since some bytes went to it.
struct Fault {
  const char* name;  // what IOFAULT says
  bool ends;
  const char* messages;  // after the exchange's
};

class FailedWait : public Program, public ::testing::WithParamInterface<Fault> {};

TEST_P(FailedWait, EndsTheWatchButAnEmptyReadDoesNot) {
  const Fault& c = GetParam();
  spawnoptions o;
  o.env = {preload(VELQUIN_IOFAULT), std::string("IOFAULT=") + c.name, "IOFAULT_TIMES=3",
           "ASAN_OPTIONS=verify_asan_link_order=0"};
  startok(o);
  std::string line;
  for (int k = 0; k < (c.ends ? 1 : 3); ++k) {
    ASSERT_EQ(sim::linesend(line_, qpress), sim::outcome::done);
    ASSERT_TRUE(takeline(child_, line, 2s));
    EXPECT_EQ(line, qline);
  }
  if (c.ends) {
    EXPECT_EQ(finish(child_, 5s), 0);
    EXPECT_EQ(settings(), before_);
  } else {
    sim::linehangup(line_);
    EXPECT_EQ(finish(child_, 5s), 0);
  }
  EXPECT_EQ(child_.errtext, allsent + c.messages);
  EXPECT_EQ(child_.outtext, "");
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedWait,
                         ::testing::Values(Fault{"poll-eintr", false, ""},
                                           Fault{"poll-enomem", true, "velquin: select failed\n"},
                                           Fault{"poll-nval", true, "velquin: select failed\n"},
                                           Fault{"read-eagain", false,
                                                 "velquin: another program is reading the port; "
                                                 "bytes it takes are not shown\n"}),
                         casename());

// Recorded as the README recommends, standard error and standard output in
// one pipe, a batch whose line is longer than a pipe's buffer stays whole,
// its messages before it.
TEST_F(Line, ALongLineIsWrittenWholeWithItsMessagesBeforeIt) {
  std::string codes;
  for (int k = 0; k < 150; ++k) codes += "15 f0 15 ";
  codes += "e0 14 e0 f0 14";
  spawnoptions o = here({"--group=1000", "--codes=" + codes, "ttyS1", exe});
  o.merged = true;
  child original;
  ASSERT_TRUE(spawn(original, simexe, o));
  EXPECT_EQ(finish(original, 60s), 0) << original.outtext;
  std::size_t longest = 0;
  std::size_t longat = 0;
  for (std::size_t at = 0, end = 0; at < original.outtext.size(); at = end + 1) {
    end = original.outtext.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string l = original.outtext.substr(at, end - at);
    sim::view v;
    EXPECT_TRUE(l == "Ok" || l == "unknown keycode e0" || l.starts_with("sending init string #") ||
                sim::parseview(l, v))
        << l;
    if (l.size() > longest) {
      longest = l.size();
      longat = at;
    }
  }
  EXPECT_GT(longest, 4096u);
  EXPECT_LT(original.outtext.rfind("unknown keycode e0\n"), longat);
}

struct Unwritable {
  const char* name;
  bool silent;      // the receiver never answers
  const char* out;  // standard output, or the pipe closed after "Ok" when null
  bytes batch;      // sent once the exchange is over
  bool hangup;      // and then the line hung up
};

class UnwritableOutput : public Program, public ::testing::WithParamInterface<Unwritable> {};

// However long the line and whenever the write fails, the run ends with the
// line put back and status 2; a pipe whose reader has gone, quietly.
TEST_P(UnwritableOutput, EndsTheRunAndRestoresTheLine) {
  const Unwritable& c = GetParam();
  openline();
  spawnoptions o;
  o.out = c.out != nullptr ? c.out : "";
  start(c.silent ? sim::silent() : sim::answers{}, o);
  if (c.out == nullptr) {
    std::string line;
    ASSERT_TRUE(takeline(child_, line, 10s));
    close(child_.out);
    child_.out = -1;
  }
  if (!c.batch.empty() || c.hangup) {
    receiver_.join();  // the last answer is sent
    ASSERT_EQ(sim::linesend(line_, c.batch), sim::outcome::done);
    // Read by the tool: nothing unread for a while, as bytes on their way
    // through the pseudo-terminal do not count yet.
    const auto t0 = clock::now();
    for (auto quiet = t0; clock::now() - quiet < 100ms && clock::now() - t0 < 5s;) {
      if (sim::lineunread(line_) > 0) quiet = clock::now();
      std::this_thread::sleep_for(1ms);
    }
    if (c.hangup) sim::linehangup(line_);
  }
  EXPECT_EQ(finish(child_, 15s), 2);
  const std::string exchange =
      c.silent ? "sending init string #0\nsending init string #0\n" : allsent;
  const std::string full = "velquin: write error: No space left on device\n";
  EXPECT_EQ(child_.errtext, exchange + (c.out != nullptr ? full : ""));
  if (!c.hangup) {
    EXPECT_EQ(settings(), before_);
  }
}

// A line of 16000 characters, longer than stdio's buffer.
const bytes longbatch(4000, 0x00);

INSTANTIATE_TEST_SUITE_P(
    Output, UnwritableOutput,
    ::testing::Values(Unwritable{"full_disk_while_watching", false, "/dev/full", {}, false},
                      Unwritable{"full_disk_after_a_failed_exchange", true, "/dev/full", {}, false},
                      Unwritable{"full_disk_a_long_line", false, "/dev/full", longbatch, false},
                      Unwritable{"full_disk_hung_up_at_once", false, "/dev/full", {}, true},
                      Unwritable{"pipeline_closed_early", false, nullptr, qpress, false},
                      Unwritable{"pipeline_closed_early_a_long_line", false, nullptr, longbatch,
                                 false}),
    casename());

}  // namespace
}  // namespace velquin::test
