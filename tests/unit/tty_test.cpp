#include "tty/tty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>

#include "support.h"

namespace velquin {
namespace {

using test::PrintTo;

using test::bytes;

// The port as the tool opens it, on a pseudo-terminal whose other side the
// test holds.
class TtyLine : public test::Line {
 protected:
  void openport(const termios& initial) {
    openline(initial);
    fd_ = open(link_.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    Line::TearDown();
  }
  int fd_ = -1;
};

struct Start {
  const char* name;
  termios settings;
};

// Starting settings a pseudo-terminal keeps as they are: 8 data bits, no parity.
std::vector<Start> startingsettings() {
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON | IMAXBEL;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_cflag = CS8 | CREAD | HUPCL;
  cooked.c_lflag = ISIG | ICANON | IEXTEN | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE;
  const cc_t keys[] = {3, 28, 127, 21, 4, 0, 1, 0, 17, 19, 26, 0, 18, 15, 23, 22};
  std::copy(std::begin(keys), std::end(keys), cooked.c_cc);
  cfsetispeed(&cooked, B38400);
  cfsetospeed(&cooked, B38400);

  termios odd{};
  odd.c_iflag = IGNBRK | INPCK | IXOFF;
  odd.c_oflag = OPOST | OCRNL;
  odd.c_cflag = CS8 | CREAD | CSTOPB | CRTSCTS | CLOCAL;
  odd.c_lflag = NOFLSH | TOSTOP;
  odd.c_cc[VMIN] = 5;
  odd.c_cc[VTIME] = 3;
  odd.c_cc[VINTR] = 0x18;
  odd.c_cc[VEOL2] = 0x7E;
  odd.c_line = 1;  // the line discipline field, which raw mode keeps as found
  cfsetispeed(&odd, B115200);
  cfsetospeed(&odd, B115200);
  return {{"cooked", cooked},
          {"quiet", sim::quietdefaults()},
          {"distinctive", test::distinctive()},
          {"odd", odd}};
}

class RawMode : public TtyLine, public ::testing::WithParamInterface<Start> {};

TEST_P(RawMode, SetupMakesTheLineRawAndCloseRestoresTheWholeRecord) {
  openport(GetParam().settings);

  ttysetup(fd_, 9600);
  const termios raw = settings();
  EXPECT_EQ(raw.c_iflag, IGNBRK | IGNPAR);
  EXPECT_EQ(raw.c_oflag, 0u);
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL | HUPCL),
            CS8 | CREAD | CLOCAL);
  EXPECT_EQ(raw.c_lflag, 0u);
  EXPECT_EQ(cfgetispeed(&raw), B9600);
  EXPECT_EQ(cfgetospeed(&raw), B9600);
  EXPECT_EQ(raw.c_line, before_.c_line);
  // Every wait wakes at the first byte, whatever VMIN and VTIME were.
  for (int k = 0; k < NCCS; ++k) {
    EXPECT_EQ(raw.c_cc[k], k == VMIN ? 1 : 0) << "c_cc[" << k << "]";
  }

  EXPECT_EQ(ttyclose(fd_), 0);
  fd_ = -1;
  EXPECT_EQ(settings(), before_);
}

INSTANTIATE_TEST_SUITE_P(From, RawMode, ::testing::ValuesIn(startingsettings()), test::casename());

// Rates a port is often left at that have no speed code of their own (DMX,
// an ESP8266's boot log, MIDI), and one that has.
struct Speed {
  const char* name;
  unsigned rate;
  bool custom;  // set through termios2 as BOTHER and the rate, not as a speed code
};

class SettingsComeBack : public TtyLine, public ::testing::WithParamInterface<Speed> {};

TEST_P(SettingsComeBack, WholeAfterTheToolAndAfterTheEmulator) {
#ifdef VELQUIN_EMULATED
  GTEST_SKIP() << "qemu-user does not translate TCGETS2, so a custom speed cannot be set";
#endif
  termios start = test::distinctive();
  cfsetspeed(&start, B115200);
  // Settings a port may be left with that would garble 8N1 or hold it up.
  start.c_cflag =
      (start.c_cflag & ~static_cast<tcflag_t>(CSIZE | CLOCAL)) | CS7 | PARENB | CSTOPB | CRTSCTS;
  openport(start);
  if (GetParam().custom) {
    ASSERT_TRUE(test::setcustomspeed(line_.slave, GetParam().rate));
  }
  const std::string before = test::wholesettingsof(line_.slave);
  ASSERT_NE(before.find(" ospeed " + std::to_string(GetParam().rate) + " "), std::string::npos)
      << before;

  ttysetup(fd_, 9600);
  EXPECT_NE(test::wholesettingsof(line_.slave), before);
  ttyclose(fd_);
  fd_ = -1;
  EXPECT_EQ(test::wholesettingsof(line_.slave), before);

  sim::line port;
  ASSERT_EQ(sim::portopen(port, link_), "");
  EXPECT_NE(test::wholesettingsof(line_.slave), before);
  termios serving{};
  ASSERT_EQ(tcgetattr(line_.slave, &serving), 0);
  constexpr tcflag_t line = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;
  EXPECT_EQ(serving.c_cflag & line, CS8 | CREAD | CLOCAL);
  sim::lineclose(port);
  EXPECT_EQ(test::wholesettingsof(line_.slave), before);
}

INSTANTIATE_TEST_SUITE_P(Rates, SettingsComeBack,
                         ::testing::Values(Speed{"dmx", 250000, true},
                                           Speed{"esp8266_boot_log", 74880, true},
                                           Speed{"midi", 31250, true},
                                           Speed{"b115200", 115200, false}),
                         test::casename());

TEST(TtySpeed, GivesTheCodeForEveryRateAndB9600WithAMessageOtherwise) {
  struct Case {
    int rate;
    speed_t code;
  };
  const Case cases[] = {
      {1200, 9},     {2400, 11},     {4800, 12}, {9600, 13}, {19200, 14}, {38400, 15},
      {57600, 4097}, {115200, 4098}, {300, 13},  {0, 13},    {-9600, 13}, {230400, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    test::stderrcapture err;
    EXPECT_EQ(ttyspeed(c.rate), c.code);
    const bool known = c.rate == 9600 || c.code != 13;
    EXPECT_EQ(err.text(),
              known ? "" : std::to_string(c.rate) + " bps unavailable.  9600 bps selected.\n");
  }
}

TEST_F(TtyLine, MovesSingleBytesWithoutWaitingToRead) {
  openport(sim::quietdefaults());
  ttysetup(fd_, 9600);
  EXPECT_EQ(ttygetc(fd_), -1);

  const std::uint8_t sent[] = {0xFF, 0x00, 0x7F, 0x80};
  ASSERT_EQ(sim::linesend(line_, sent), sim::outcome::done);
  ASSERT_TRUE(ttywait(fd_, false));
  for (const std::uint8_t b : sent) EXPECT_EQ(ttygetc(fd_), b);
  EXPECT_EQ(ttygetc(fd_), -1);

  // The low eight bits are sent and returned.
  const int values[] = {0xFF, 0x00, 0x41, 0x1C0, -1};
  for (const int v : values) EXPECT_EQ(ttyputc(fd_, v), v & 0xFF) << v;
  EXPECT_EQ(test::hex(drain(1000)), "ff 00 41 c0 ff ");
}

}  // namespace
}  // namespace velquin
