// Noisy, broken and vanishing receivers, played by velquin-sim with the tool
// as its command: the tool must print exactly what its reads returned, in
// well-formed lines, and end as designed.
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#include "decode/decode.h"
#include "program.h"
#include "sim/program/records.h"

namespace velquin::test {
namespace {

// Checks the tool's whole output against the bytes the receiver sent: every
// line well formed, the raw views together exactly the bytes sent, and every
// line's other views (and the messages on standard error) what the decoders
// make of its raw view. Returns the characters typed.
bytes checkoutput(const child& c, const bytes& sent, const std::string& exchange) {
  for (const char ch : c.outtext) {
    EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch <= 0x7E)) << "byte " << int(ch);
  }
  EXPECT_EQ(c.outtext.substr(0, 3), "Ok\n");
  framedecoder frames;
  keytranslator keys;
  bytes raw;
  bytes typed;
  std::string messages;
  std::size_t at = 3;
  while (at < c.outtext.size()) {
    const std::size_t end = c.outtext.find('\n', at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unfinished line at " << at;
      break;
    }
    const std::string_view l = std::string_view(c.outtext).substr(at, end - at);
    at = end + 1;
    sim::view p;
    if (!sim::parseview(l, p)) {
      ADD_FAILURE() << "bad line: " << l;
      continue;
    }
    raw.insert(raw.end(), p.raw.begin(), p.raw.end());
    std::vector<std::uint8_t> buf(carrysize);
    std::copy(p.raw.begin(), p.raw.end(), buf.begin());
    stderrcapture err;
    const int n = frames.convert(static_cast<int>(p.raw.size()), buf.data());
    EXPECT_EQ(hex(bytes(buf.begin(), buf.begin() + n)), hex(p.codes)) << l;
    const int m = keys.convert(n, buf.data());
    EXPECT_EQ(hex(bytes(buf.begin(), buf.begin() + m)), hex(p.chars)) << l;
    messages += err.text();
    typed.insert(typed.end(), p.chars.begin(), p.chars.end());
  }
  EXPECT_TRUE(raw == sent) << raw.size() << " bytes shown, " << sent.size() << " sent";
  EXPECT_EQ(c.errtext, exchange + messages);
  return typed;
}

class Faults : public Line {
 protected:
  // velquin-sim with these options and the tool; its status. With `paused`,
  // the tool's standard output is a non-blocking pipe not read for a while.
  int play(std::vector<std::string> args, std::chrono::seconds limit = 60s, bool paused = false) {
    args.insert(args.begin(), "--log=sent.log");
    args.insert(args.end(), {"ttyS1", exe});
    spawnoptions o = here(args);
    o.nonblocking = paused;
    if (!spawn(child_, simexe, o)) return -1;
    if (paused) std::this_thread::sleep_for(2s);
    return finish(child_, limit);
  }
  bytes sent() const {
    std::ifstream in(dir_ + "/sent.log", std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  child child_;
};

bytes text(const char* s) {
  return bytes(s, s + std::strlen(s));
}

TEST_F(Faults, HangUpInTheMiddleOfAFrame) {
  ASSERT_EQ(play({"--text=ab", "--bytes=ff 15", "--hold=300"}), 0);
  EXPECT_EQ(checkoutput(child_, sent(), allsent), text("ab"));
  EXPECT_TRUE(child_.outtext.ends_with("\n=ff =15 \n")) << child_.outtext;
}

// The line stays up for the hold once everything sent has been read.
TEST_F(Faults, HangUpWhileIdle) {
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(play({"--text=a", "--hold=1500"}), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 1500ms);
  EXPECT_EQ(checkoutput(child_, sent(), allsent), text("a"));
}

// Hung up only once the tool has read everything sent, however soon it is
// asked to and however much is still on the line.
TEST_F(Faults, EveryByteSentIsShownBeforeTheHangUp) {
  const std::vector<std::string> cases[] = {
      {"--hold=0", "--pace=0", "--mangled=3000"},
      {"--hold=0", "--pace=0", "--random=60000"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ASSERT_EQ(play(args), 0);
    checkoutput(child_, sent(), allsent);
    child_ = {};
  }
}

TEST_F(Faults, SlowNoiseDeliveredAsASerialLineDeliversIt) {
  // 200 KB at 115200 bps, in slices of 10 ms.
  ASSERT_EQ(play({"--random=100000", "--mangled=100000", "--rate=115200", "--pace=0"}, 90s), 0);
  const bytes s = sent();
  EXPECT_EQ(s.size(), 200000u);
  checkoutput(child_, s, allsent);
}

// A pipe or terminal another program left non-blocking, whose reader pauses
// (a pager, Ctrl-S): the tool waits, and no line is lost or cut.
TEST_F(Faults, AnOutputThatWouldBlockIsWaitedFor) {
  const std::vector<std::string> cases[] = {
      {"--pace=0", "--text=" + std::string(300, 'q')},
      {"--pace=0", "--hold=0", "--random=100000"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ASSERT_EQ(play(args, 60s, true), 0) << child_.errtext;
    checkoutput(child_, sent(), allsent);
    child_ = {};
  }
}

TEST_F(Faults, BurstsOfFourKilobytes) {
  std::string many;
  while (many.size() < 3000) many += "The quick brown fox jumps over the lazy dog. ";
  ASSERT_EQ(play({"--group=1000", "--pace=50", "--text=" + many, "--random=4096", "--random=4096"}),
            0);
  const bytes typed = checkoutput(child_, sent(), allsent);
  EXPECT_EQ(std::string(typed.begin(), typed.begin() + static_cast<long>(many.size())), many);
}

TEST_F(Faults, ALateAnswerIsAskedForAgain) {
  ASSERT_EQ(play({"--late=1", "--text=ok"}), 0);
  EXPECT_EQ(checkoutput(child_, sent(),
                        "sending init string #0\nsending init string #1\n"
                        "sending init string #1\nsending init string #2\n"),
            text("ok"));
}

TEST_F(Faults, NoiseBeforeEveryAnswer) {
  ASSERT_EQ(play({"--noise=20", "--seed=7", "--text=ok"}), 0);
  // The exchange's own messages come first, before any from the decoders.
  std::string exchange;
  for (std::size_t at = 0, end = 0; at < child_.errtext.size(); at = end + 1) {
    end = child_.errtext.find('\n', at);
    const std::string l = child_.errtext.substr(at, end + 1 - at);
    if (!l.starts_with("sending init string #") && !l.starts_with("response ")) break;
    exchange += l;
  }
  EXPECT_TRUE(exchange.ends_with("sending init string #2\n") ||
              exchange.ends_with("should be ff\n"));
  EXPECT_EQ(checkoutput(child_, sent(), exchange), text("ok"));
  EXPECT_NE(child_.errtext.find("should be ff\n"), std::string::npos) << child_.errtext;
}

}  // namespace
}  // namespace velquin::test
