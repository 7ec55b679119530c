// The receiver emulator as a user runs it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "program.h"
#include "sim/program/records.h"

namespace velquin::test {
namespace {

using velquin::test::PrintTo;

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

// Every wait of the emulator ends soon after its command does: sending to a
// line nobody reads at a rate, the answers' gaps, the pacing, the hold; and
// none follows the last batch.
TEST_F(Line, SlowEmulatorEndsWithItsCommand) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::chrono::milliseconds limit;  // from the start, the command's own time included
  };
  const std::string pty = exe;
  const Case cases[] = {
      {"a line nobody reads",
       {"--random=1000000", "--rate=1000000", "ttyS1", "timeout", "2", exe},
       124,
       3500ms},
      {"answers with gaps, the tool giving up",
       {"--noise=60000", "--gap=1", "--text=hi", "ttyS1", exe},
       0,
       8000ms},
      {"the hold",
       {"--hold=8000", "--text=abc", "ttyS1", "sh", "-c", pty + " | head -2"},
       0,
       2500ms},
      {"the pace",
       {"--pace=15000", "--hold=0", "--text=abc", "ttyS1", "timeout", "2", exe},
       124,
       3500ms},
      {"no pace after the last batch",
       {"--pace=15000", "--hold=0", "--bytes=ff 15 ea", "ttyS1", exe},
       0,
       2500ms},
      {"its status after the hang-up",
       {"--hold=0", "--text=a", "ttyS1", "sh", "-c", pty + "; exit 3"},
       3,
       3000ms},
      {"a signal while it waits for a command that stopped",
       {"--hold=0", "--text=a", "ttyS1", "sh", "-c", pty + "; kill -TERM $PPID; kill -STOP $$"},
       128 + SIGTERM,
       3000ms},
      {"ended by a signal",
       {"--text=a", "ttyS1", "sh", "-c", "kill -TERM $$"},
       128 + SIGTERM,
       2000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    child sim;
    const auto t0 = clock::now();
    ASSERT_TRUE(spawn(sim, simexe, here(c.args)));
    EXPECT_EQ(finish(sim, 20s), c.status) << sim.errtext;
    EXPECT_LT(clock::now() - t0, c.limit);
  }
}

struct Blocked {
  const char* name;
  const char* input;  // "record" or "keys" through a pipe, "fifo" or "raw" through one, "terminal"
  const char* sink;   // the reader that stops: "line", "log", "error" (its standard error);
                      // "gone": the log's reader closes; "none": the input goes quiet
};

class EmulatorBlocked : public Line, public ::testing::WithParamInterface<Blocked> {};

// Whatever the emulator waits for, its input to come or a reader to take
// more, it ends within a second of its command, with its status, its link
// and lock file gone.
TEST_P(EmulatorBlocked, EndsWithItsCommand) {
  const std::string input = GetParam().input;
  const std::string sink = GetParam().sink;
  const bool recorded = input == "record" || input == "fifo";
  // More than a pipe, a line and a log hold, unless the input goes quiet.
  const std::size_t size = sink == "none" ? 100 : 400000;
  std::string data = recorded ? "Ok\n" : std::string(size / 20, 'a');
  // Said one by one at a terminal, more than a pipe holds.
  for (int k = 0; sink == "error" && k < 5000; ++k) data += "\xc3\xa9";
  while (recorded && data.size() < size) data += "=ff =1c =e3 =ff =f0 =0f =1c =e3 \n";
  // The test holds the FIFOs open both ways, and reads neither.
  for (const char* fifo : {"record", "log"})
    ASSERT_EQ(mkfifo((dir_ + "/" + fifo).c_str(), 0600), 0);
  const int log = open((dir_ + "/log").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  const int fifo = open((dir_ + "/record").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  // The command lasts 2 s after the exchange, whatever the machine's speed;
  // the emulator must end within 1.5 s of it.
  const auto run = wholerun(dir_);
  const std::string lasts = std::to_string(2 + std::chrono::duration<double>(run).count());
  // The tool stops reading once its output fills a pipe nobody reads.
  const std::string tool = sink == "line" ? std::string(exe) + " | sleep " + lasts
                                          : "timeout " + lasts + " " + exe + " > /dev/null 2>&1";
  std::vector<std::string> args = {"--pace=0", "--hold=0"};
  if (sink == "log" || sink == "gone") args.push_back("--log=log");
  if (recorded) args.push_back(input == "fifo" ? "--replay=record" : "--replay=-");
  if (input == "raw") args.push_back("--raw=record");
  args.insert(args.end(), {"ttyS1", "sh", "-c", tool});
  spawnoptions o = here(args);
  if (sink == "error") {
    o.out = dir_ + "/log";
    o.merged = true;
  }
  sim::line terminal;
  if (input == "terminal") {
    ASSERT_EQ(sim::lineopen(terminal, nullptr, ""), "");
    o.in = o.ctty = terminal.slavepath;
    o.setsid = true;
  }
  o.input = input == "record" || input == "keys";
  const auto t0 = clock::now();
  child sim;
  ASSERT_TRUE(spawn(sim, simexe, o));
  // Its reader gone once the emulator has the log open, a write to it fails.
  const auto haslog = [&] {
    std::error_code e;
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(sim.pid) + "/fd", e))
      if (std::filesystem::read_symlink(fd.path(), e) == dir_ + "/log") return true;
    return false;
  };
  if (sink == "gone") {
    // Before exec, the child still has the test's descriptor.
    ASSERT_TRUE(eventually([&] { return std::filesystem::is_symlink(link_) && haslog(); }));
    close(log);
  }
  const int feed = o.input ? sim.in : input == "terminal" ? terminal.master : fifo;
  fcntl(feed, F_SETFL, O_NONBLOCK);
  // As much as the emulator takes in a second of sending; the writer stays.
  for (std::size_t sent = 0; sent < data.size() && clock::now() - t0 < 1s + run;) {
    const ssize_t n = write(feed, data.data() + sent, data.size() - sent);
    if (n > 0) sent += static_cast<std::size_t>(n);
    if (n <= 0) std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(finish(sim, 20s + run), sink == "log" || sink == "gone" ? 1 : sink == "line" ? 0 : 124);
  EXPECT_LT(clock::now() - t0, 3500ms + run);
  static const std::regex unlogged(
      "velquin-sim: log: [0-9]+ bytes sent not written before the command ended\n$");
  EXPECT_EQ(std::regex_search(sim.errtext, unlogged), sink == "log") << sim.errtext;
  EXPECT_EQ(sim.errtext.ends_with("velquin-sim: log: Broken pipe\n"), sink == "gone")
      << sim.errtext;
  EXPECT_FALSE(std::filesystem::is_symlink(link_));
  EXPECT_FALSE(std::filesystem::exists(link_ + ".lock"));
  if (sink != "gone") close(log);
  close(fifo);
  sim::lineclose(terminal);
}

INSTANTIATE_TEST_SUITE_P(
    Blocked, EmulatorBlocked,
    ::testing::Values(
        Blocked{"record_quiet", "record", "none"}, Blocked{"record_line", "record", "line"},
        Blocked{"record_log", "record", "log"}, Blocked{"fifo_quiet", "fifo", "none"},
        Blocked{"fifo_line", "fifo", "line"}, Blocked{"fifo_log", "fifo", "log"},
        Blocked{"raw_quiet", "raw", "none"}, Blocked{"keys_quiet", "keys", "none"},
        Blocked{"keys_line", "keys", "line"}, Blocked{"keys_log", "keys", "log"},
        Blocked{"keys_gone", "keys", "gone"}, Blocked{"terminal_quiet", "terminal", "none"},
        Blocked{"terminal_line", "terminal", "line"}, Blocked{"terminal_log", "terminal", "log"},
        Blocked{"terminal_error", "terminal", "error"}),
    casename());

struct Typed {
  const char* name;
  bool shell;          // a shell leads the session; else the emulator, its group orphaned
  bool background;     // started in the background, then brought to the foreground
  const char* during;  // after the first key: "tstp", "ctrl-z" or "stop", then fg; "ttin":
                       // SIGTTIN ignored, a key typed in the background ends the typing;
                       // "kill": killed while stopped in the background
  bool afterwards;     // Ctrl-Z and fg once typing has ended, while the command runs on
};

class EmulatorAtATerminal : public Line, public ::testing::WithParamInterface<Typed> {};

// At its controlling terminal, whenever it has it, every key goes out as it
// is pressed, Backspace and Ctrl-S among them, nothing is echoed, a key no
// key types is said once and passed over, and Ctrl-D ends the input and puts
// the terminal back as it was, for good; whatever stops and continues it, in
// the foreground and out of it, the terminal is set from what is true then.
TEST_P(EmulatorAtATerminal, TypesEachKeyAsItIsPressed) {
  const Typed& t = GetParam();
  sim::line terminal;
  ASSERT_EQ(sim::lineopen(terminal, nullptr, ""), "");
  termios cooked{};
  ASSERT_EQ(tcgetattr(terminal.slave, &cooked), 0);
  // Without signals, as an orphan's; in keyboard mode Ctrl-C ends the run.
  cooked.c_lflag |= ICANON | ECHO | (t.shell ? ISIG : 0);
  cooked.c_lflag &= t.shell ? ~tcflag_t{0} : ~tcflag_t{ISIG};
  cooked.c_iflag |= IXON;
  ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &cooked), 0);
  std::string whole = wholesettingsof(terminal.slave);
  const auto canonical = [&] {
    termios now{};
    return tcgetattr(terminal.slave, &now) == 0 && (now.c_lflag & ICANON) != 0;
  };
  const auto keyboardmode = [&] {
    termios now{};
    return tcgetattr(terminal.slave, &now) == 0 && (now.c_lflag & (ICANON | ISIG)) == ISIG;
  };
  const std::string tool = t.afterwards ? std::string(exe) + "; sleep 2" : exe;
  spawnoptions o = here({"--hold=0", "ttyS1", "sh", "-c", tool});
  o.in = o.ctty = terminal.slavepath;
  o.setsid = !t.shell;
  o.shell = t.shell;
  o.background = t.background;
  const bool ttin = std::string_view(t.during) == "ttin";
  if (ttin) o.ignored = {SIGTTIN};
  child c;
  ASSERT_TRUE(spawn(c, simexe, o));
  const auto job = [&](char command) { ASSERT_EQ(write(c.in, &command, 1), 1); };
  // Whether the shell has the terminal, its settings back.
  const auto shellhas = [&] {
    pid_t group = 0;
    return ioctl(terminal.master, TIOCGPGRP, &group) == 0 && group == c.pid;
  };
  // Whether the shell's job is stopped: the emulator and every process of its
  // group (under qemu-user one may stop well after the others).
  const auto stopped = [&] {
    const std::string shell = std::to_string(c.pid);
    std::ifstream children("/proc/" + shell + "/task/" + shell + "/children");
    pid_t emulator = 0;
    if (!(children >> emulator)) return false;
    int members = 0;
    std::error_code e;
    for (const auto& process : std::filesystem::directory_iterator("/proc", e)) {
      std::string stat;
      if (!std::getline(std::ifstream(process.path() / "stat"), stat)) continue;
      std::istringstream fields(stat.substr(stat.rfind(") ") + 2));
      char state = 0;
      pid_t parent = 0;
      pid_t group = 0;
      if (!(fields >> state >> parent >> group) || group != emulator || state == 'Z') continue;
      if (state != 'T') return false;
      ++members;
    }
    return members > 0;
  };
  const std::string keyboard =
      "velquin-sim: keys typed here go out as they are pressed, once the tool has started; "
      "Ctrl-D ends typing\n";
  if (ttin) {
    // Typing begins with a read, which gets EIO instead of a stop: not a
    // failure; nor is a line typed at the shell a key.
    ASSERT_EQ(write(terminal.master, "a\n", 2), 2);
    EXPECT_EQ(finish(c, 10s), 0);
    EXPECT_EQ(c.errtext, keyboard + allsent +
                             "velquin-sim: standard input: the terminal is another job's; typing "
                             "ends\n");
    EXPECT_EQ(c.outtext, "Ok\n");
    EXPECT_EQ(wholesettingsof(terminal.slave), whole);
    sim::lineclose(terminal);
    return;
  }
  std::string line;
  if (t.background) {
    // Typing begins with a read, which stops it (SIGTTIN), and its command
    // with it; not before the tool has had its answers, which it would time
    // out on.
    EXPECT_TRUE(eventually(stopped)) << "not stopped in the background";
    EXPECT_TRUE(takeline(c, line, 2s)) << "stopped in the exchange";
    EXPECT_EQ(wholesettingsof(terminal.slave), whole) << "switched from the background";
    if (std::string_view(t.during) == "kill") {
      // Continued, it ends by the signal instead of stopping again.
      job(jobkill);
      EXPECT_EQ(finish(c, 10s), 128 + SIGTERM);
      EXPECT_FALSE(std::filesystem::exists(link_ + ".lock"));
      EXPECT_EQ(wholesettingsof(terminal.slave), whole);
      sim::lineclose(terminal);
      return;
    }
    job(jobfg);
  } else {
    ASSERT_TRUE(takeline(c, line, 10s)) << c.errtext;
  }
  ASSERT_EQ(line, "Ok\n");
  ASSERT_TRUE(eventually(keyboardmode)) << "not switched";
  const std::pair<std::string, std::vector<std::string>> keys[] = {
      {"a", {"=ff =1c =e3 #1c >61 'a'\n", "=ff =f0 =0f =1c =e3 #f0 #1c \n"}},
      {"\x7f", {"=ff =66 =99 #66 >7f '\\177'\n", "=ff =f0 =0f =66 =99 #f0 #66 \n"}},
      {"\x13",
       {"=ff =14 =eb #14 \n", "=ff =1b =e4 #1b >13 '\\023'\n", "=ff =f0 =0f =1b =e4 #f0 #1b \n",
        "=ff =f0 =0f =14 =eb #f0 #14 \n"}},
      {std::string(1, '\0'), {}},
      {"\xc3\xa9", {}},
  };
  for (const auto& [key, lines] : keys) {
    SCOPED_TRACE(hex(bytes(key.begin(), key.end())));
    if (key == "\x7f" && std::string_view(t.during) == "tstp") {
      // An orphaned group's stop is discarded: the terminal is set again at once.
      kill(c.pid, SIGTSTP);
      std::this_thread::sleep_for(300ms);
    } else if (key == "\x7f") {
      if (std::string_view(t.during) == "ctrl-z") {
        ASSERT_EQ(write(terminal.master, "\x1a", 1), 1);
      } else {
        job(jobstop);
      }
      ASSERT_TRUE(eventually(stopped));
      ASSERT_TRUE(eventually(shellhas));
      ASSERT_TRUE(canonical()) << "not given back";
      // Changed at the shell meanwhile, the terminal is put back so.
      termios changed{};
      ASSERT_EQ(tcgetattr(terminal.slave, &changed), 0);
      changed.c_cc[VERASE] = '\b';
      ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &changed), 0);
      whole = wholesettingsof(terminal.slave);
      job(jobfg);
      ASSERT_TRUE(eventually(keyboardmode)) << "not switched again";
    }
    ASSERT_EQ(write(terminal.master, key.data(), key.size()), static_cast<ssize_t>(key.size()));
    // Its frames, in whatever lines a loaded machine's tool reads them.
    sim::view want;
    sim::view got;
    for (const std::string& l : lines) {
      ASSERT_TRUE(sim::parseview(l.substr(0, l.size() - 1), want));
    }
    while (got.raw.size() < want.raw.size() && takeline(c, line, 2s)) {
      EXPECT_TRUE(sim::parseview(line.substr(0, line.size() - 1), got)) << line;
    }
    EXPECT_EQ(hex(got.raw) + hex(got.codes) + hex(got.chars),
              hex(want.raw) + hex(want.codes) + hex(want.chars));
  }
  ASSERT_EQ(write(terminal.master, "\x04", 1), 1);
  if (t.afterwards) {
    // Put back at Ctrl-D, while the command runs on; Ctrl-Z then stops the
    // whole job, and fg switches nothing.
    ASSERT_TRUE(eventually(canonical)) << "not put back at Ctrl-D";
    EXPECT_EQ(wholesettingsof(terminal.slave), whole);
    ASSERT_EQ(write(terminal.master, "\x1a", 1), 1);
    char echoed = 0;
    EXPECT_TRUE(eventually([&] { return read(terminal.master, &echoed, 1) == 1; }));
    EXPECT_EQ(echoed, '\x1a') << "a cooked terminal's echo";
    ASSERT_TRUE(eventually(stopped));
    job(jobfg);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(wholesettingsof(terminal.slave), whole) << "switched again after Ctrl-D";
  }
  EXPECT_EQ(finish(c, 10s), 0);
  EXPECT_EQ(c.errtext, keyboard + allsent + "velquin-sim: no key types the character 0x00\n" +
                           "velquin-sim: no key types the character 0xc3\n");
  pollfd p{terminal.master, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "echoed";
  EXPECT_EQ(wholesettingsof(terminal.slave), whole);
  sim::lineclose(terminal);
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, EmulatorAtATerminal,
    ::testing::Values(Typed{"orphaned", false, false, "tstp", false},
                      Typed{"ctrl_z", true, false, "ctrl-z", false},
                      Typed{"stopped", true, false, "stop", false},
                      Typed{"started_in_the_background", true, true, "ctrl-z", false},
                      Typed{"killed_in_the_background", true, true, "kill", false},
                      Typed{"stopped_after_typing", true, false, "stop", true},
                      Typed{"ignoring_sigttin_in_the_background", true, true, "ttin", false}),
    casename());

// A session recorded as the README recommends, standard error and standard
// output in one pipe, replayed through the tool, prints the same lines and
// the same messages in the same places: frames split across batches, held
// runs, Shift held across lines, noise, a line longer than a pipe's buffer
// with a message before it, and a carry buffer that overflows.
TEST_F(Line, EmulatorReplaysARecordedSessionByteForByte) {
  std::vector<std::string> args = {
      "--pace=40",     "--split=4",    "--text=Hi there, World!\\n", "--codes=e0 14 15 e0 f0 14 58",
      "--mangled=600", "--random=300", "--bytes=ff 15 ea ff"};
  // 805 bytes, a line of over 5000 characters, and yet one piece of a
  // pseudo-terminal's buffer, which a read takes whole.
  std::string longrun = "--bytes=ff e0 1f 14 eb";
  for (int k = 0; k < 100; ++k) longrun += " ff 15 ea ff f0 0f 15 ea";
  args.push_back(longrun);
  // A run that never ends grows by 200 bytes a batch until the buffer is full.
  std::string held = "--bytes=ea";
  for (int k = 0; k < 99; ++k) held += " 15 ea";
  args.push_back("--bytes=15");
  args.insert(args.end(), 42, held + " 15");
  const auto record = [&](const std::vector<std::string>& options, child& c) {
    std::vector<std::string> all = options;
    all.insert(all.end(), {"ttyS1", exe});
    spawnoptions o = here(all);
    o.merged = true;
    ASSERT_TRUE(spawn(c, simexe, o));
    EXPECT_EQ(finish(c, 60s), 0) << c.outtext;
  };
  child original;
  args.push_back("--log=sent.log");
  record(args, original);
  const std::string& out = original.outtext;
  EXPECT_NE(out.find("velquin: velquinconv: buffer overflow\n"), std::string::npos);
  // Cut after its first 4 bytes, the long batch's frames are completed, and
  // its E0 reported, with the rest.
  const std::size_t longline = out.find("unknown keycode e0\n=eb =ff =15 =ea ");
  ASSERT_NE(longline, std::string::npos);
  const std::size_t viewline = longline + std::strlen("unknown keycode e0\n");
  EXPECT_GT(out.find('\n', viewline) - viewline, 4096u);
  ASSERT_GT(std::count(out.begin(), out.end(), '\n'), 100);
  std::ofstream(dir_ + "/session.log") << "pasted by hand\n" << out;

  const auto rawitems = [](const std::string& text) {
    static const std::regex item("=([0-9a-f]{2}) ");
    std::string all;
    for (auto m = std::sregex_iterator(text.begin(), text.end(), item); m != std::sregex_iterator();
         ++m) {
      all += (*m)[1].str() + ' ';
    }
    return all;
  };
  // Replayed slower than the tool reads, the batches are its lines again. How
  // slow that is, on a loaded machine or under qemu-user, the replay itself
  // tells: the same bytes over other lines are replayed at twice the pace, a
  // few times at most.
  child replayed;
  for (int pace = 40; pace <= 320; pace *= 2) {
    replayed = {};
    record({"--pace=" + std::to_string(pace), "--replay=session.log"}, replayed);
    if (replayed.outtext == out || rawitems(replayed.outtext) != rawitems(out)) break;
  }
  EXPECT_EQ(replayed.outtext, out);

  // What the log holds, sent again as it is (twice), gives the tool the same
  // bytes.
  std::ifstream in(dir_ + "/sent.log", std::ios::binary);
  const bytes logged{std::istreambuf_iterator<char>(in), {}};
  child raw;
  record({"--raw=sent.log", "--raw=sent.log", "--split=1000", "--rate=1000000"}, raw);
  EXPECT_EQ(rawitems(raw.outtext), hex(logged) + hex(logged));
  EXPECT_EQ(rawitems(out), hex(logged));
}

// Whatever its input, the emulator holds no more than 2 MB of data besides
// its command line: under a limit of its own size and that, every input goes
// out whole, and a record's line too long to be the tool's is never read
// whole.
TEST_F(Line, SlowEmulatorHoldsNoMoreThanItsBound) {
#if defined(VELQUIN_EMULATED) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "qemu-user and AddressSanitizer have an address space of their own";
#endif
  // Its own size: waiting in the exchange, with nothing made yet.
  child idle;
  ASSERT_TRUE(spawn(idle, simexe, here({"--silent", "ttyS1"})));
  ASSERT_TRUE(eventually([&] { return std::filesystem::is_symlink(link_); }));
  std::ifstream status("/proc/" + std::to_string(idle.pid) + "/status");
  std::string peak;
  while (std::getline(status, peak) && !peak.starts_with("VmPeak:")) continue;
  kill(idle.pid, SIGTERM);
  finish(idle, 5s);
  const rlim_t own = std::stoul(peak.substr(7)) * 1024;

  // 5 MB of view lines, and a line far longer than any.
  std::string views;
  for (int k = 0; k < 400000; ++k) views += k % 1000 == 999 ? "=ff\n" : "=ff ";
  std::ofstream(dir_ + "/big.log") << views << views << views;
  std::ofstream(dir_ + "/huge.log") << "=ff \n" << std::string(16 << 20, 'x') << "\n=ff \n";
  std::string codes;
  for (int k = 0; k < 30000; ++k) codes += "15 ";
  // Each the emulator's command line, % standing for it.
  const std::pair<std::string, int> cases[] = {
      {"% --random=16777216", 0},
      {"% --mangled=16777216", 0},
      {"% --group=100000 --text=" + std::string(100000, 'A'), 0},
      {"% --group=100000 '--codes=" + codes + "'", 0},
      {"% --noise=100000 --text=a", 0},
      {"% --replay=big.log", 0},
      {"cat big.log | % --replay=-", 0},
      {"cat huge.log | % --replay=-", 2},
      {"cat big.log | % --raw=- --split=100000 --rate=10000000", 0},
      {"head -c 1000000 big.log | %", 0},
  };
  for (const auto& [line, code] : cases) {
    SCOPED_TRACE(line.substr(0, 40));
    const std::string sim = std::string(simexe) + " --pace=0 --hold=0";
    spawnoptions o = here({"-c", std::regex_replace(line, std::regex("%"), sim) + " ttyS1 sh -c '" +
                                     exe + " > /dev/null'"});
    o.memory = own + (2 << 20);
    child c;
    ASSERT_TRUE(spawn(c, "/bin/sh", o));
    EXPECT_EQ(finish(c, 60s), code);
    EXPECT_EQ(c.errtext.find("out of memory"), std::string::npos);
  }
}

// 50 bytes of ten bits each at 100 bits a second take 5 s, the 2 s the
// emulator is stopped on the way not made up for, besides what a whole run
// takes here: the tool reads them one by one.
TEST_F(Line, SlowEmulatorPacesRatesBelowAThousandBitsASecond) {
  const auto run = wholerun(dir_);
  child c;
  const auto t0 = clock::now();
  ASSERT_TRUE(
      spawn(c, simexe, here({"--rate=100", "--pace=0", "--hold=0", "--random=50", "ttyS1", exe})));
  std::this_thread::sleep_for(2s);
  kill(c.pid, SIGSTOP);
  std::this_thread::sleep_for(2s);
  kill(c.pid, SIGCONT);
  EXPECT_EQ(finish(c, 30s), 0);
  const auto took = clock::now() - t0;
  EXPECT_GE(took, 7s);
  EXPECT_LT(took, 8s + 2 * run);
  static const std::regex item("=[0-9a-f]{2} ");
  std::size_t shown = 0;
  std::istringstream lines(c.outtext);
  // A byte comes every 100 ms; a tool slowed down as a whole run is here
  // reads a few more at once.
  const auto most = 2 + run / 100ms;
  for (std::string line; std::getline(lines, line);) {
    const auto n =
        std::distance(std::sregex_iterator(line.begin(), line.end(), item), std::sregex_iterator());
    EXPECT_LE(n, most) << line;
    shown += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(shown, 50u) << c.outtext;
}

TEST_F(Line, EmulatorRefusesALiveLinkAndReplacesAStaleOne) {
  child first;
  ASSERT_TRUE(spawn(first, simexe, here({"--text=first", "ttyS1"})));
  EXPECT_TRUE(eventually([&] { return std::filesystem::is_symlink(link_); }));
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
  EXPECT_EQ(third.outtext, "Ok\n" + qline + "=ff =f0 =0f =15 =ea #f0 #15 \n");
  EXPECT_FALSE(std::filesystem::exists(link_));
  EXPECT_FALSE(std::filesystem::exists(link_ + ".lock"));
}

// A port the emulator serves is raw 9600 8N1 and in use while it is served,
// and comes back as it was however the emulator ends: by an interrupt or a
// quit, refusing its own terminal, or started with a standard descriptor
// closed, which never becomes the line (the port is not typed from, and no
// message goes out on it).
TEST_F(Line, EmulatorPutsAPortBackAsItFoundIt) {
  struct Case {
    const char* name;
    std::vector<std::string> more;  // options and command after --port
    int signal = 0;                 // sent once the port is served
    int closed = -1;                // a standard descriptor closed when it starts
    bool own = false;               // the port is its controlling terminal
    int status = 0;
  };
  const Case cases[] = {
      {"interrupted", {"--silent"}, SIGINT, -1, false, 128 + SIGINT},
      {"quit", {"--silent"}, SIGQUIT, -1, false, 128 + SIGQUIT},
      {"its own terminal", {}, 0, -1, true, 1},
      {"standard input closed", {"--hold=0"}, 0, 0},
      {"standard error closed", {"--silent", "/nonexistent/command"}, 0, 2, false, 127},
  };
  openline();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--port=" + line_.slavepath};
    args.insert(args.end(), c.more.begin(), c.more.end());
    spawnoptions o = here(args);
    if (c.closed >= 0) o.closed = {c.closed};
    o.setsid = c.own;
    o.ctty = c.own ? line_.slavepath : "";
    child sim;
    ASSERT_TRUE(spawn(sim, simexe, o));
    if (c.status == 0 || c.signal != 0) {
      ASSERT_TRUE(eventually([&] { return !(settings() == before_); }));
    }
    if (c.signal == SIGINT) {
      const termios raw = settings();
      EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
      EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
      EXPECT_EQ(cfgetospeed(&raw), B9600);
      sim::line second;
      EXPECT_EQ(sim::portopen(second, link_), link_ + ": in use");
    }
    for (int i = 0; c.status == 0 && i < 3; ++i) {
      ASSERT_EQ(sim::linesend(line_, sim::request(i)), sim::outcome::done);
      EXPECT_EQ(hex(drain(2000)), hex(bytes(sim::response(i).begin(), sim::response(i).end())));
    }
    if (c.signal != 0) kill(sim.pid, c.signal);
    if (c.closed >= 0) {
      ASSERT_EQ(sim::linesend(line_, bytes{'a', 'b'}), sim::outcome::done);
    }
    EXPECT_EQ(finish(sim, 10s), c.status);
    EXPECT_EQ(hex(drain(200)), "");
    // Under qemu-user a signal that ends the program is said by qemu.
    if (c.signal == 0) {
      EXPECT_EQ(sim.errtext,
                c.own ? "velquin-sim: " + line_.slavepath + ": the emulator's own terminal\n" : "");
    }
    EXPECT_EQ(settings(), before_);
  }
}

// Wherever memory runs out, the emulator says so and puts everything back:
// its link and lock file are gone, and its status is 1. Every allocation
// after the first n fails, for n growing until a run needs no more.
TEST_F(Line, SlowEmulatorPutsEverythingBackWhenMemoryRunsOut) {
  int failed = 0;
  for (int n = 0; n < 100000; n += n / 4 + 1) {
    SCOPED_TRACE(n);
    spawnoptions o = here({"--pace=0", "--hold=0", "--text=ab", "ttyS1", exe});
    o.env = {preload(VELQUIN_IOFAULT), "IOFAULT=new", "IOFAULT_TIMES=" + std::to_string(n),
             "ASAN_OPTIONS=verify_asan_link_order=0"};
    child c;
    ASSERT_TRUE(spawn(c, simexe, o));
    const int status = finish(c, 10s);
    EXPECT_FALSE(std::filesystem::is_symlink(link_));
    EXPECT_FALSE(std::filesystem::exists(link_ + ".lock"));
    if (status == 0) break;
    ASSERT_EQ(status, 1) << c.errtext;
    EXPECT_TRUE(c.errtext.ends_with("velquin-sim: out of memory\n")) << c.errtext;
    ++failed;
  }
  EXPECT_GT(failed, 5);
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
    std::string in = "";     // a file for standard input
    std::string piped = "";  // or what comes through a pipe on it
    rlim_t files = 0;        // descriptors it may have
    std::vector<int> ignored = {};
    std::vector<int> blocked = {};
    int pending = 0;
    std::vector<std::string> env = {};
    std::vector<std::string> via = {};  // what runs the emulator
  };
  // A record to replay that holds no batch, one with a line too long, and one
  // that a log must not empty.
  const std::string record = "Ok\n" + qline;
  std::ofstream(dir_ + "/empty.log").flush();
  std::ofstream(dir_ + "/long.log") << "=ff \n" << std::string(sim::longestrow, 'x');
  std::ofstream(dir_ + "/session.log") << record;
  std::ofstream(dir_ + "/q.log") << qline;
  ASSERT_EQ(symlink("session.log", (dir_ + "/link.log").c_str()), 0);
  std::ofstream(dir_ + "/mine.lock") << "mine\n";
  std::ofstream(dir_ + "/typed.txt") << "ab\n";
  std::ofstream(dir_ + "/three.bin") << std::string(qpress.begin(), qpress.end()) +
                                            std::string(qpress.begin(), qpress.end()) +
                                            std::string(qpress.begin(), qpress.end());
  // A device only its owner reads, in a directory anyone may look into.
  std::ofstream(dir_ + "/event0").flush();
  ASSERT_EQ(chmod((dir_ + "/event0").c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
  // A link left by an emulator that was killed.
  const std::string stale = "/dev/pts/4096";
  ASSERT_EQ(symlink(stale.c_str(), (dir_ + "/stale").c_str()), 0);
  const std::string pty = exe;
  const Case cases[] = {
      {{"--bogus", "ttyS1"}, 2, usage("unknown option or missing value: --bogus")},
      {{"--text=a", "/nonexistent/ttyS1"},
       1,
       "velquin-sim: /nonexistent/ttyS1.lock: No such file or directory\n"},
      {{"--text=a", "session.log"}, 1, "velquin-sim: session.log: File exists\n"},
      {{"--text=a", "mine", exe},
       1,
       "velquin-sim: mine.lock: not a lock file of velquin-sim; left as it is\n"},
      {{"--log=/nonexistent/sent.log", "--text=a", "ttyS1"},
       1,
       "velquin-sim: /nonexistent/sent.log: No such file or directory\n"},
      {{"--replay=/", "ttyS1"}, 2, "velquin-sim: /: Is a directory\n"},
      {{"--raw=/nonexistent/sent.bin", "ttyS1"},
       2,
       "velquin-sim: /nonexistent/sent.bin: No such file or directory\n"},
      {{"--replay=long.log", "ttyS1", exe},
       2,
       "velquin-sim: long.log:2: longer than any line of the tool's output\n"},
      // Read from a pipe, a record is sent up to its bad line, and nothing after it.
      {.args = {"--replay=-", "--bytes=ff 15 ea", "ttyS1", "sh", "-c", "cat >&2; " + pty},
       .status = 2,
       .err = allsent + "velquin-sim: -:2: not a line of the tool's output\n",
       .shown = "Ok\n=ff =12 =ed #12 \n",
       .piped = "=ff =12 =ed #12 \n=ff =1g \n"},
      // Typed from a pipe, a character no key types ends the run there.
      {.args = {"--hold=0", "ttyS1", exe},
       .status = 2,
       .err = allsent + "velquin-sim: no key types the character 0x00\n",
       .shown = "Ok\n=ff =1c =e3 #1c >61 'a'\n=ff =f0 =0f =1c =e3 #f0 #1c \n",
       .piped = std::string("a\0b", 3)},
      // Checked first, a record is then sent from its first byte.
      {.args = {"--hold=0", "--replay=q.log", "ttyS1", exe},
       .status = 0,
       .err = allsent,
       .shown = "Ok\n" + qline},
      {{"--replay=empty.log", "ttyS1", exe},
       2,
       "velquin-sim: empty.log: no line of the tool's output\n"},
      {{"--replay=session.log", "--log=link.log", "ttyS1", exe},
       2,
       "velquin-sim: link.log: the record to replay; --log would overwrite it\n"},
      {.args = {"--replay=-", "--log=session.log", "ttyS1", exe},
       .status = 2,
       .err = "velquin-sim: session.log: the record to replay; --log would overwrite it\n",
       .in = dir_ + "/session.log"},
      {{"--raw=session.log", "--log=link.log", "ttyS1", exe},
       2,
       "velquin-sim: link.log: the file to send; --log would overwrite it\n"},
      {{"--replay=link.log", "ttyS1", exe},
       2,
       "velquin-sim: link.log: also the run's standard output; it would send back what the run "
       "writes\n",
       dir_ + "/session.log"},
      {{"--log=ttyS1.lock", "--text=a", "ttyS1", exe},
       2,
       "velquin-sim: ttyS1.lock: the link's lock file; --log would overwrite it\n"},
      // Ignored when it starts, a signal stays ignored, for the command too;
      // SIGPIPE, which the emulator ignores, is the command's as usual.
      {.args = {"--hold=0", "--text=a", "ttyS1", "sh", "-c",
                pty + " > /dev/null; kill -HUP $PPID $$; kill -PIPE $$; exit 3"},
       .status = 128 + SIGPIPE,
       .err = allsent,
       .ignored = {SIGHUP}},
      {{"--log=ttyS1", "--text=a", "ttyS1", exe},
       2,
       "velquin-sim: ttyS1: the line itself; --log would send into it\n"},
      // Ignored by its parent, SIGCHLD would lose the command's status.
      {.args = {"-t", "a", "ttyS1", "sh", "-c", "exit 7"},
       .status = 7,
       .err = "",
       .ignored = {SIGCHLD}},
      // Blocked by its parent, the end signals are the emulator's all the same;
      // the command starts with the mask it was given, and keeps TERM blocked.
      {.args = {"-t", "a", "ttyS1", "perl", "-e",
                "print grep /^SigBlk/, do { local @ARGV = '/proc/self/status'; <> };"
                "kill TERM => getppid; close STDOUT; close STDERR; sleep 3"},
       .status = 128 + SIGTERM,
       .err = "",
       .shown = "SigBlk:\t0000000000004007\n",
       .blocked = {SIGINT, SIGTERM, SIGHUP, SIGQUIT}},
      // An interrupt that came before anything was made leaves it all unmade.
      {.args = {"--text=a", "stale", exe},
       .status = 128 + SIGINT,
       .err = "",
       .blocked = {SIGINT},
       .pending = SIGINT},
      {.args = {"--log=typed.txt", "--hold=0", "ttyS1", exe},
       .status = 2,
       .err = "velquin-sim: typed.txt: the typed standard input; --log would overwrite it\n",
       .in = dir_ + "/typed.txt"},
      {.args = {"--pace=0", "--hold=0", "ttyS1", exe},
       .status = 2,
       .err = "velquin-sim: standard input: also the run's standard output; it would send back "
              "what the run writes\n",
       .out = dir_ + "/typed.txt",
       .in = dir_ + "/typed.txt"},
      {.args = {"--hold=0", "ttyS1", exe},
       .status = 2,
       .err = "velquin-sim: standard input: Is a directory\n",
       .in = "/"},
      // A file's bytes in batches of --split; the command gets the standard
      // input no input reads.
      {.args = {"--raw=three.bin", "--split=3", "--pace=200", "--hold=0", "ttyS1", "sh", "-c",
                "cat >&2; " + pty},
       .status = 0,
       .err = "typed at the command\n" + allsent,
       .shown = "Ok\n" + qline + qline + qline,
       .piped = "typed at the command\n"},
      {.args = {"--raw=-", "ttyS1", exe},
       .status = 2,
       .err = allsent + "velquin-sim: -: Input/output error\n",
       .shown = "Ok\n",
       .env = {preload(VELQUIN_IOFAULT), "IOFAULT=stdin-eio",
               "ASAN_OPTIONS=verify_asan_link_order=0"}},
      {.args = {"--hold=0", "ttyS1", exe},
       .status = 1,
       .err = allsent + "velquin-sim: standard input: Input/output error\n",
       .shown = "Ok\n",
       .env = {preload(VELQUIN_IOFAULT), "IOFAULT=stdin-eio",
               "ASAN_OPTIONS=verify_asan_link_order=0"}},
      {{"--keyboard=/nonexistent/event0", "ttyS1"},
       2,
       "velquin-sim: /nonexistent/event0: No such file or directory\n"},
      {{"--keyboard=/dev/null", "ttyS1", exe}, 2, "velquin-sim: /dev/null: not an input device\n"},
      {.args = {"--keyboard=" + dir_ + "/event0", "ttyS1"},
       .status = 2,
       .err = "velquin-sim: " + dir_ +
              "/event0: Permission denied; reading a keyboard takes root or the input group\n",
       .via = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}},
      {.args = {"--log=/dev/stdin", "--hold=0", "ttyS1", exe},
       .status = 2,
       .err = "velquin-sim: /dev/stdin: the typed standard input; --log would send into it\n",
       .piped = "ab"},
      // As nohup leaves it.
      {.args = {"--hold=0", "ttyS1", exe},
       .status = 2,
       .err = "velquin-sim: standard input: not open for reading\n",
       .via = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 0> /dev/null"}},
      // A link name as long as one whose lock file's name fits.
      {{"--text=a", std::string(250, 'l'), "true"}, 0, ""},
      // 0, 1, 2, the end signals' epoll and pipe, the lock file, the
      // pseudo-terminal's two ends: none left to watch the command with.
      {.args = {"--text=a", "ttyS1", "sleep", "5"},
       .status = 1,
       .err = "velquin-sim: cannot watch sleep: Too many open files\n",
       .files = 9},
      {{"--help"}, 1, full, "/dev/full"},
      {{"--version"}, 1, full, "/dev/full"},
      {{"--log=sent.log", "--port=/dev/null"}, 1, "velquin-sim: /dev/null: not a terminal\n"},
      // A log that fails ends typing from a pipe before the NUL after it.
      {.args = {"--log=/dev/full", "--group=3", "ttyS1", exe},
       .status = 1,
       .err = allsent + "velquin-sim: /dev/full: No space left on device\n",
       .shown = "Ok\n=ff =1c =e3 =ff =f0 =0f =1c =e3 #1c #f0 #1c >61 'a'\n",
       .piped = std::string("a\0", 2)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::PrintToString(k.args));
    const bool nobody = !k.via.empty() && k.via[0].ends_with("setpriv");
    if (nobody && geteuid() != 0) continue;
#ifdef VELQUIN_EMULATED
    // qemu takes descriptors of its own, and its handlers stand in for a
    // signal ignored or blocked across exec; a library preloaded into the
    // emulator would be into the command's qemu too; and a user without
    // privileges may not read qemu's script in a build of root's.
    if (k.files > 0 || !k.ignored.empty() || !k.blocked.empty() || !k.env.empty() || nobody) {
      continue;
    }
#endif
    child c;
    std::vector<std::string> args = k.args;
    if (!k.via.empty()) {
      args.insert(args.begin(), simexe);
      args.insert(args.begin(), k.via.begin() + 1, k.via.end());
    }
    spawnoptions o = here(args);
    o.out = k.out;
    o.in = k.in;
    o.files = k.files;
    o.ignored = k.ignored;
    o.blocked = k.blocked;
    o.pending = k.pending;
    o.env = k.env;
    o.input = !k.piped.empty();
    ASSERT_TRUE(spawn(c, k.via.empty() ? simexe : k.via[0], o));
    if (o.input) {
      ASSERT_EQ(write(c.in, k.piped.data(), k.piped.size()), static_cast<ssize_t>(k.piped.size()));
      close(c.in);
      c.in = -1;
    }
    EXPECT_EQ(finish(c, 10s), k.status);
    EXPECT_EQ(c.errtext, k.err);
    EXPECT_EQ(c.outtext, k.shown);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/sent.log"));
    EXPECT_FALSE(std::filesystem::exists(link_ + ".lock"));
  }
  for (const auto& [file, held] :
       {std::pair{"session.log", record}, {"mine.lock", "mine\n"}, {"typed.txt", "ab\n"}}) {
    std::ifstream kept(dir_ + "/" + file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), held);
  }
  std::error_code e;
  EXPECT_EQ(std::filesystem::read_symlink(dir_ + "/stale", e), stale);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/stale.lock"));
}

}  // namespace
}  // namespace velquin::test
