// What the tests share: whole-record settings comparison, standard error
// capture, a child process read through pipes, and the pseudo-terminal fixture.
#pragma once
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/receiver/exchange.h"
#include "sim/receiver/keys.h"
#include "sim/receiver/line.h"
#include "termios2.h"

bool operator==(const termios& a, const termios& b);
void PrintTo(const termios& t, std::ostream* os);

namespace velquin::test {

using namespace std::chrono_literals;
using sim::bytes;

std::string hex(const bytes& b);

// Sends everything written to descriptor 2 into a file while it lives.
class stderrcapture {
 public:
  stderrcapture();
  ~stderrcapture();
  stderrcapture(const stderrcapture&) = delete;
  stderrcapture& operator=(const stderrcapture&) = delete;
  std::string text() const;

 private:
  int saved_;
  std::FILE* file_;
};

struct spawnoptions {
  std::vector<std::string> args;  // after the program's own name
  std::string dir;                // working directory, when not empty
  std::vector<int> closed;        // descriptors closed in the child
  std::string out;                // a file for standard output instead of the pipe
  bool input = false;             // standard input a pipe the test writes to, not /dev/null
  std::string in;                 // a file for standard input instead
  bool merged = false;            // standard error into the pipe of standard output
  bool nonblocking = false;       // standard output's pipe non-blocking, and one page big
  bool setsid = false;            // the child leads a session of its own
  std::string ctty;               // with setsid, a terminal it takes as its controlling one
  // With a `ctty`, a shell leads the session instead and stays beside the
  // child, which it starts in a process group of its own, in the foreground
  // unless `background`. It takes job commands on `child::in` (jobfg,
  // jobstop, jobkill), and when the child stops takes the terminal back with the
  // settings it had when it gave it away; as bash does, it sends SIGCONT only
  // to a stopped job. Its status is the child's; the test gone, it kills the
  // child.
  bool shell = false;
  bool background = false;
  std::vector<std::string> env;  // NAME=VALUE added to the environment
  int fdfloor = 0;               // descriptors below this are taken before the program starts
  rlim_t memory = 0;             // bytes of address space it may have; 0: no limit of its own
  rlim_t files = 0;              // descriptors it may have; 0: no limit of its own
  std::vector<int> ignored;      // signals it starts ignoring; the other end signals default
  std::vector<int> blocked;      // signals it starts with blocked
  int pending = 0;               // one of them, already pending when it starts
};

// What the shell of spawnoptions::shell does, written to `child::in`: `fg`
// (the terminal to the child's group, and SIGCONT if it stopped), kill -STOP,
// and kill (TERM, and SIGCONT if it stopped, as bash's kill does).
inline constexpr char jobfg = 'f';
inline constexpr char jobstop = 's';
inline constexpr char jobkill = 'k';

struct child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  std::string outtext;  // what has been read so far
  std::string errtext;
  double cpu = 0;  // seconds of CPU it used, once finished
};

bool spawn(child& c, const std::string& exe, const spawnoptions& o = {});
// The environment entry that preloads `library` into the program under test:
// under an emulator, into the emulated program rather than the emulator.
std::string preload(const char* library);
// Waits until standard output holds a complete line not yet taken, and takes it.
bool takeline(child& c, std::string& line, std::chrono::milliseconds limit);
// Reads both outputs to their end and reaps the child; its exit status, 128 +
// the signal that ended it, or -1 when it did not end within `limit` (it is
// then killed).
int finish(child& c, std::chrono::milliseconds limit);

// Whether `done` holds, looked at every 10 ms for at most `limit`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);

// The receiver's side of the exchange on a thread of its own, on a copy of
// the line whose stop fires when the thread is asked to stop.
std::jthread exchangethread(const sim::line& l, const sim::answers& a,
                            std::chrono::milliseconds limit, bytes* heard);

// Prints a case of a parameterised test by its `name`, in GoogleTest's
// messages; a file brings it into its cases' namespace with `using`.
template <typename test>
requires requires(const test& t) {
  t.name;
}
void PrintTo(const test& t, std::ostream* os) {
  *os << t.name;
}

// Names an instance of a parameterised test after its case's `name`, in the
// letters, digits and underscores that GoogleTest allows.
struct casename {
  template <typename param>
  std::string operator()(const ::testing::TestParamInfo<param>& info) const {
    std::string n = info.param.name;
    for (char& c : n) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return n;
  }
};

// What a clean exchange says on standard error.
inline const std::string allsent =
    "sending init string #0\nsending init string #1\nsending init string #2\n";
// A press of Q: its frame, and the line the tool prints for it.
inline const bytes qpress = {0xFF, 0x15, 0xEA};
inline const std::string qline = "=ff =15 =ea #15 >71 'q'\n";

// Settings left on a port by an earlier program, far from raw in every field
// the tool changes: a VMIN of 20 with no VTIME among them.
termios distinctive();

// A pseudo-terminal standing in for the port, its link `ttyS1` in a scratch
// directory of the test's own, so that tests run side by side.
class Line : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void openline(const termios& initial = distinctive());
  spawnoptions here(std::vector<std::string> args = {}) const;  // run in the scratch directory
  termios settings() const;     // the port's, as the test sees it now
  bytes drain(int waitms = 0);  // whatever the receiver's side has been sent

  std::string dir_;
  std::string link_;
  sim::line line_;
  termios before_{};
};

}  // namespace velquin::test
