#include "tty/tty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "sim/sim.h"
#include "support.h"

namespace velquin {
namespace {

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;

// A pseudo-terminal pair standing in for the port: the test holds the master,
// the code under test gets the slave as the tool would open it.
class TtyLine : public ::testing::Test {
 protected:
  void open(const termios* initial) {
    std::string err;
    ASSERT_TRUE(sim::lineopen(line_, initial, "", err)) << err;
    fd_ = ::open(line_.slavepath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    sim::lineclose(line_);
  }
  termios settings() const {
    termios t{};
    tcgetattr(fd_, &t);
    return t;
  }

  sim::line line_;
  int fd_ = -1;
};

// Starting settings a pseudo-terminal keeps as they are: 8 data bits, no parity.
std::vector<termios> startingsettings() {
  std::vector<termios> all;
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON | IMAXBEL;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_cflag = CS8 | CREAD | HUPCL;
  cooked.c_lflag = ISIG | ICANON | IEXTEN | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE;
  const cc_t keys[] = {3, 28, 127, 21, 4, 0, 1, 0, 17, 19, 26, 0, 18, 15, 23, 22};
  for (std::size_t k = 0; k < std::size(keys); ++k) cooked.c_cc[k] = keys[k];
  cfsetispeed(&cooked, B38400);
  cfsetospeed(&cooked, B38400);
  all.push_back(cooked);

  all.push_back(sim::quietdefaults());

  termios odd{};
  odd.c_iflag = IGNBRK | INPCK | IXOFF;
  odd.c_oflag = OPOST | OCRNL;
  odd.c_cflag = CS8 | CREAD | CSTOPB | CRTSCTS | CLOCAL;
  odd.c_lflag = NOFLSH | TOSTOP;
  odd.c_cc[VMIN] = 5;
  odd.c_cc[VTIME] = 3;
  odd.c_cc[VINTR] = 0x18;
  odd.c_cc[VEOL2] = 0x7E;
  cfsetispeed(&odd, B115200);
  cfsetospeed(&odd, B115200);
  all.push_back(odd);
  return all;
}

TEST_F(TtyLine, SetupAppliesRawModeAndCloseRestoresTheWholeRecord) {
  for (const termios& start : startingsettings()) {
    SCOPED_TRACE(::testing::PrintToString(start));
    open(&start);
    const termios before = settings();

    ttysetup(fd_, 9600);
    termios raw = before;
    raw.c_iflag = 0x5;  // IGNBRK | IGNPAR
    raw.c_oflag = 0;
    raw.c_cflag = 0x8B0;  // CS8 | CREAD | CLOCAL
    raw.c_lflag = 0;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    for (cc_t& c : raw.c_cc) c = 0;
    raw.c_cc[VMIN] = before.c_cc[VMIN];
    raw.c_cc[VTIME] = before.c_cc[VTIME];
    EXPECT_EQ(settings(), raw);

    EXPECT_EQ(ttyclose(fd_), 0);
    fd_ = -1;
    termios after{};
    ASSERT_TRUE(sim::linesettings(line_, after));
    EXPECT_EQ(after, before);
    sim::lineclose(line_);
  }
}

TEST(TtySpeed, GivesTheCodeForEveryRateAndB9600WithAMessageOtherwise) {
  struct Case {
    int rate;
    speed_t code;
    const char* message;
  };
  const Case cases[] = {
      {1200, 9, ""},
      {2400, 11, ""},
      {4800, 12, ""},
      {9600, 13, ""},
      {19200, 14, ""},
      {38400, 15, ""},
      {57600, 0x1001, ""},
      {115200, 0x1002, ""},
      {300, 13, "300 bps unavailable.  9600 bps selected.\n"},
      {0, 13, "0 bps unavailable.  9600 bps selected.\n"},
      {-9600, 13, "-9600 bps unavailable.  9600 bps selected.\n"},
      {230400, 13, "230400 bps unavailable.  9600 bps selected.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    test::stderrcapture err;
    EXPECT_EQ(ttyspeed(c.rate), c.code);
    EXPECT_EQ(err.text(), c.message);
  }
}

TEST_F(TtyLine, GetcReturnsAByteAtATimeWithoutWaiting) {
  open(nullptr);
  ttysetup(fd_, 9600);
  const auto start = clock::now();
  EXPECT_EQ(ttygetc(fd_), -1);
  EXPECT_LT(clock::now() - start, 500ms);

  const std::uint8_t sent[] = {0xFF, 0x00, 0x7F, 0x80};
  ASSERT_TRUE(sim::linesend(line_, sent));
  std::this_thread::sleep_for(50ms);
  for (const std::uint8_t b : sent) EXPECT_EQ(ttygetc(fd_), b);
  EXPECT_EQ(ttygetc(fd_), -1);
}

TEST_F(TtyLine, PutcSendsTheLowEightBitsAndReturnsThem) {
  open(nullptr);
  ttysetup(fd_, 9600);
  struct Case {
    int value;
    int sent;
  };
  const Case cases[] = {{0xFF, 0xFF}, {0x00, 0x00}, {0x41, 0x41}, {0x1C0, 0xC0}, {-1, 0xFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ttyputc(fd_, c.value), c.sent);
    std::uint8_t got = 0;
    pollfd p{line_.master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    ASSERT_EQ(read(line_.master, &got, 1), 1);
    EXPECT_EQ(got, c.sent);
  }
}

// ttyputc on a line that takes no byte: it must give up after more than 15
// clock seconds, and sleep, not spin, while it waits.
void expectputctimeout(int fd) {
  test::stderrcapture err;
  rusage before{};
  getrusage(RUSAGE_THREAD, &before);
  const auto start = clock::now();
  EXPECT_EQ(ttyputc(fd, 0x41), -1);
  const auto took = clock::now() - start;
  rusage after{};
  getrusage(RUSAGE_THREAD, &after);
  EXPECT_GT(took, 15s);
  EXPECT_LT(took, 17500ms);
  EXPECT_EQ(err.text(), "ttyputc(): timeout\n");
  const auto cpu = std::chrono::seconds(after.ru_utime.tv_sec + after.ru_stime.tv_sec -
                                        before.ru_utime.tv_sec - before.ru_stime.tv_sec) +
                   std::chrono::microseconds(after.ru_utime.tv_usec + after.ru_stime.tv_usec -
                                             before.ru_utime.tv_usec - before.ru_stime.tv_usec);
  // A busy wait would use the whole 15 seconds.
  EXPECT_LT(cpu, 1s);
}

TEST_F(TtyLine, PutcGivesUpWhenTheLineIsFull) {
  open(nullptr);
  ttysetup(fd_, 9600);
  // Nobody reads the master: fill the line until it refuses more. The kernel
  // moves bytes on behind the writer's back for a while, so fill again until
  // it has stopped taking any.
  const std::uint8_t block[512] = {};
  for (int refused = 0; refused < 5;) {
    if (write(fd_, block, 1) > 0) {
      refused = 0;
      while (write(fd_, block, sizeof block) > 0) {
      }
    } else {
      ++refused;
      std::this_thread::sleep_for(50ms);
    }
  }
  expectputctimeout(fd_);
}

TEST_F(TtyLine, PutcGivesUpWhenTheLineIsHungUp) {
  open(nullptr);
  ttysetup(fd_, 9600);
  // The port then reports an error and a hang-up at once, every time.
  sim::linehangup(line_);
  expectputctimeout(fd_);
}

TEST(TtyOpen, ReportsAPortThatCannotBeOpenedAndExitsWithStatusOne) {
  EXPECT_EXIT(ttyopen("/nonexistent/ttyS1"), ::testing::ExitedWithCode(1),
              "^can't open /nonexistent/ttyS1\n$");
}

TEST(TtyOpen, AcceptsDescriptorZero) {
  // With standard input closed the port legitimately opens as descriptor 0.
  EXPECT_EXIT(
      {
        close(0);
        std::exit(ttyopen("/dev/null") == 0 ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "^$");
}

}  // namespace
}  // namespace velquin
